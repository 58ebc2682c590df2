// Watching the message stores. Two halves on two threads:
// - the outgoing check, on the message service's notification thread: a
//   message created in or moved into a store's Outbox that no rule allows is
//   moved into the held folder, and the compose window that sent it is
//   closed;
// - the worker, on its own thread at below-normal priority: scans a store's
//   held folder after a message was held there, and every held folder after
//   the rules changed (and once at the start), recording and releasing.
// The user interface keeps the worker still with a WorkerPause while it works
// on the rules and databases itself. The worker sleeps until there is work:
// a held message, a rules change, a walk due again, a pause or the stop.
#ifndef TARNVEX_HOLD_MONITOR_H_
#define TARNVEX_HOLD_MONITOR_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "device/clock.h"
#include "hold/env.h"
#include "hold/loop_breaker.h"
#include "hold/stores.h"
#include "hold/watch_keeper.h"
#include "hold/window_closer.h"
#include "hold/worker.h"
#include "mapi/mapi.h"
#include "mapi/owned.h"

// The pauses and limits of monitoring, in milliseconds and counts.
inline constexpr int kStorePauseMs = 100;  // before each store walked
// A walk of a held folder that could not be made whole (or was made while the
// rules could not be read) is made again after this long, and after twice as
// long each time it fails again, up to 64 times as long: a file that stays
// locked or broken is not hammered meanwhile.
inline constexpr int kWalkRetryMs = 1000;
inline constexpr int kWalkRetryMaxDoublings = 6;
inline constexpr int kEntryIdReads = 1000;  // waiting for a new message's id
inline constexpr int kEntryIdPauseMs = 1;
// A hold that could not be made is tried again after these pauses (doubling).
inline constexpr int kHoldRetryFirstMs = 10;
inline constexpr int kHoldRetryMaxMs = 1000;
// While the stores cannot be watched, monitoring tries again this often.
inline constexpr int kWatchRetryMs = 2000;

// A message the outgoing check has just held, as the user is told of it:
// its store, the recipients no rule covers (ui names them in its notice),
// its subject, and when it was held (the day the browser lists it under).
struct HoldNotice {
  std::string store;
  std::vector<std::u16string> recipients;
  std::u16string subject;
  device::LocalTime when;
};

// The worker's calls into the message browser. The browser installs them;
// they must return at once (queue the work onto the user-interface thread)
// and may be called from the worker thread.
struct BrowserCalls {
  std::function<void()> refresh_message_list;
  std::function<void(const std::string&)> show_status_text;
};

namespace hold {

// The watch over the stores, made by the start-up (or a test) and owning
// every part of it: the worker, the watch keeper and the compose-window
// closer (each with its own thread and lock), and the outgoing check run on
// the service's thread. Set the handlers before Start.
class Monitor {
 public:
  // `env` (kept, not owned) gives the clock, the waits and the faults; null:
  // the real ones.
  explicit Monitor(Env* env = nullptr);
  // Stops the watch (see Stop).
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Logs on, enters the stores and starts the worker. False when there is
  // no session, no stores table, or no worker. Whatever cannot be watched
  // (no session, no stores, a store that cannot be advised) is said on
  // stderr and to the problem handler, and tried again in the background
  // until it works; the worker starts then.
  bool Start();
  // Ends the watch and every thread it started (the worker, the watch
  // keeper, the compose-window closer), cancels the stores' subscriptions,
  // waits for the outgoing checks under way, releases the stores and the
  // session and forgets what was judged and released and the rule table it
  // loaded: a later Start starts exactly as the first one did. The handlers
  // stay.
  void Stop();

  // Who tells the user of a problem with the watch (the window layer shows a
  // message box); called from any thread, with an empty text when the
  // problem is gone.
  void SetProblemHandler(std::function<void(const std::string&)> handler) {
    keeper_.SetProblemHandler(std::move(handler));
  }
  // The problem now, or empty when every store is watched.
  std::string Problem() { return keeper_.Problem(); }
  // Who is told of each hold (the user interface's notices). Called on the
  // message service's notification thread right after the move, so it must
  // return at once (queue the work); an empty handler: nobody.
  void SetHoldHandler(std::function<void(const HoldNotice&)> handler);
  void SetBrowserCalls(BrowserCalls calls);

  // The rules changed (the rules editor, a reload that read other rules):
  // the worker takes it at the top of its next pass, which then walks every
  // store. Nobody else clears it: a change is never lost before the worker
  // has taken it.
  void NoteRulesChanged() { worker_.NoteRulesChanged(); }
  // A change noted that the worker has not taken yet.
  bool RulesChangeNoted() { return worker_.RulesChangeNoted(); }

  // True when the worker was running and is now still (it has reached a
  // point where it touches no rule, database or folder, and stays there
  // until ResumeWorker). A second pause without a resume returns false.
  bool PauseWorker() { return worker_.Pause(); }
  bool ResumeWorker() { return worker_.Resume(); }

  // What waits to leave the device (see Stores::CountWaiting).
  bool CountWaiting(WaitingMessages* waiting) {
    return stores_.CountWaiting(waiting);
  }
  Stores& stores() { return stores_; }
  LoopBreaker& releases() { return releases_; }

  // A new advise sink for one store, bound to this watch's outgoing check.
  Owned<IMAPIAdviseSink> NewAdviseSink();
  // Holds a message back when no rule allows all its recipients.
  void CheckOutgoingMessage(const NOTIFICATION& notification);
  // The same for the notifications of one call: the messages to hold are
  // moved together.
  void CheckOutgoingMessages(const std::vector<const NOTIFICATION*>& batch);

  // Tests only: the outgoing check judges every message not covered, as if
  // the rules had changed between the worker's judgement and the check's.
  void SetCheckHoldsEverythingForTesting(bool on) {
    check_holds_everything_.store(on);
  }

  // The outgoing check's own types (outgoing_check.cpp).
  class Sink;
  struct CheckState;
  struct ToHold;
  enum class Outcome;
  enum class Folder;

 private:
  friend class WorkerPause;

  void RefreshMessageList() EXCLUDES(handlers_lock_);
  void ShowStatusText(const std::string& text) EXCLUDES(handlers_lock_);

  // --- the outgoing check (outgoing_check.cpp)
  bool BeginCheck() EXCLUDES(checks_lock_);
  void EndCheck() EXCLUDES(checks_lock_);
  void CloseChecks() EXCLUDES(checks_lock_);
  void OpenChecks() EXCLUDES(checks_lock_);
  Folder OutboxOwner(const OBJECT_NOTIFICATION& object, StoreRecord** owner);
  StoreRecord* StoreOfFolder(IMAPISession* session, const SBinary& parent);
  Outcome Judge(IMAPISession* session, const OBJECT_NOTIFICATION& object,
                CheckState* state, ToHold* hold);
  Outcome CheckOnce(IMAPISession* session, const OBJECT_NOTIFICATION& object,
                    CheckState* state);
  void CheckUntilDone(IMAPISession* session, const OBJECT_NOTIFICATION& object,
                      CheckState state);
  void Held(StoreRecord* record);
  void TellHold(const char* store, const CheckState& state)
      EXCLUDES(handlers_lock_);

  std::unique_ptr<Env> own_env_;
  Env* env_;
  LoopBreaker releases_;
  Stores stores_;
  WindowCloser closer_;
  Worker worker_;
  WatchKeeper keeper_;
  std::atomic<bool> started_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> check_holds_everything_{false};

  // The outgoing checks under way on the service's notification thread. The
  // stop waits for them before it releases the stores they use; a
  // notification that comes while the stop waits is not judged (its store is
  // no longer advised, so the device does not count on this process).
  base::Mutex checks_lock_;
  base::CondVar checks_idle_;
  int checks_running_ GUARDED_BY(checks_lock_) = 0;
  bool checks_closed_ GUARDED_BY(checks_lock_) = false;

  base::Mutex handlers_lock_;
  std::function<void(const HoldNotice&)> on_hold_ GUARDED_BY(handlers_lock_);
  BrowserCalls browser_ GUARDED_BY(handlers_lock_);
};

// Keeps the worker still while it lives, for the program's own users of the
// pause (the rules editor, the browser's workers): the worker is paused by
// the first guard and resumed by the last one, so one user never resumes a
// worker another one still needs still (PauseWorker itself is one flag). A
// worker started while a guard lives (by the watch keeper, or a new start)
// starts paused. Each guard returns once the worker stands still.
// A null monitor (no watch in this process): the guard does nothing.
class WorkerPause {
 public:
  explicit WorkerPause(Monitor* monitor);
  ~WorkerPause();
  WorkerPause(const WorkerPause&) = delete;
  WorkerPause& operator=(const WorkerPause&) = delete;

 private:
  Monitor* monitor_;
};

}  // namespace hold

#endif  // TARNVEX_HOLD_MONITOR_H_
