// Watching the message stores. Two halves on two threads:
// - the outgoing check, on the message service's notification thread: a
//   message created in or moved into a store's Outbox that no rule allows is
//   moved into the held folder, and the compose window that sent it is
//   closed;
// - the worker, on its own thread at below-normal priority: scans a store's
//   held folder after a message was held there, and every held folder after
//   the rules changed (and once at the start), recording and releasing.
// The user interface keeps the worker still with PauseWorker / ResumeWorker
// while it works on the rules and databases itself.
#ifndef TARNVEX_HOLD_MONITOR_H_
#define TARNVEX_HOLD_MONITOR_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/clock.h"
#include "mapi/mapi.h"
#include "mapi/owned.h"

// The pauses and limits of monitoring, in milliseconds and counts.
inline constexpr int kStorePauseMs = 100;      // before each store of a pass
inline constexpr int kEmptyPassPauseMs = 100;  // a pass over no stores at all
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
// The compose windows the outgoing check closes, tried in this order.
inline constexpr char16_t kComposeTitleSms[] = u"SMS";
inline constexpr char16_t kComposeTitleMms[] = u"MMS";

// The sink subscribed to each store.
class CAdviseSink : public IMAPIAdviseSink {
 public:
  CAdviseSink() = default;
  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  ULONG OnNotify(ULONG count, LPNOTIFICATION notifications) override;

 private:
  virtual ~CAdviseSink() = default;
  std::atomic<int32_t> references_{1};
};

// A new sink for one store (the factory EnumerateStores is given).
Owned<IMAPIAdviseSink> NewAdviseSink();

// Holds a message back when no rule allows all its recipients.
void CheckOutgoingMessage(const NOTIFICATION& notification);
// The same for the notifications of one call: the messages to hold are moved
// together.
void CheckOutgoingMessages(const std::vector<const NOTIFICATION*>& batch);

// Logs on, enters the stores (once per process) and starts the worker.
// False when there is no session, no stores table, or no worker. Whatever
// cannot be watched (no session, no stores, a store that cannot be advised)
// is said on stderr and to the problem handler, and tried again in the
// background until it works; the worker starts then.
bool StartMonitoring();
// Who tells the user of a problem with the watch (the window layer shows a
// message box); called from any thread, with an empty text when the problem
// is gone.
void SetMonitoringProblemHandler(
    std::function<void(const std::string&)> handler);
// The problem now, or empty when every store is watched.
std::string MonitoringProblem();
// Ends monitoring and every thread it started (the worker, the watch keeper,
// the compose-window closer), cancels the stores' subscriptions, waits for
// the outgoing checks under way, releases the stores and the session and
// forgets what was judged and released and the rule table it loaded: a later
// StartMonitoring in the same process starts exactly as the first one did. The
// handlers set with SetMonitoringProblemHandler and SetBrowserCalls stay.
void StopMonitoring();

// True when the worker was running and is now still (it has reached a point
// where it touches no rule, database or folder, and stays there until
// ResumeWorker). A second pause without a resume returns false.
bool PauseWorker();
bool ResumeWorker();

// Keeps the worker still while it lives, for the program's own users of the
// pause (the rules editor, the browser's workers): the worker is paused by
// the first guard and resumed by the last one, so one user never resumes a
// worker another one still needs still (PauseWorker itself is one flag). A
// worker started while a guard lives (by the watch keeper, or a new start of
// monitoring) starts paused. Each guard returns once the worker stands still.
class WorkerPause {
 public:
  WorkerPause();
  ~WorkerPause();
  WorkerPause(const WorkerPause&) = delete;
  WorkerPause& operator=(const WorkerPause&) = delete;
};

// Set to 1 by the rules editor after a change and by an Update that read
// other rules; taken by the worker at the top of its next pass, which then
// scans every store. Nobody else clears it: a change is never lost before the
// worker has taken it. (The worker also takes any reload that brought other
// rules, a new RuleGeneration, as a change.)
extern std::atomic<int32_t> RulesChanged;

// A message the outgoing check has just held, as the user is told of it:
// its store, the recipients no rule covers (ui names them in its notice),
// its subject, and when it was held (the day the browser lists it under).
struct HoldNotice {
  std::string store;
  std::vector<std::u16string> recipients;
  std::u16string subject;
  device::LocalTime when;
};
// Who is told of each hold (the user interface's notices). Called on the
// message service's notification thread right after the move, so it must
// return at once (queue the work); an empty handler: nobody.
void SetHoldHandler(std::function<void(const HoldNotice&)> handler);

// The worker's calls into the message browser. The browser installs them;
// they must return at once (queue the work onto the user-interface thread)
// and may be called from the worker thread.
struct BrowserCalls {
  std::function<void()> refresh_message_list;
  std::function<void(const std::string&)> show_status_text;
};
void SetBrowserCalls(BrowserCalls calls);
void RefreshMessageListHook();
void ShowStatusTextHook(const std::string& text);

// The loop breaker between the worker's release and the outgoing check. The
// two judge a message the same way, but the rules may change between them
// (or a read may fail in one of them): a message the check holds again right
// after the worker released it is then held for good until the rules change,
// recorded with Status 0, and no compose window is closed for it.
void NoteReleased(const SBinary& entry_id);    // the worker, before the move
void ForgetReleased(const SBinary& entry_id);  // the move failed, or it passed
// The check found the message not covered: true (and the message is now
// "held again") when the worker had just released it.
bool TakeReleasedAndHoldAgain(const SBinary& entry_id);
bool IsHeldAgain(const SBinary& entry_id);
// The rules changed: every message is judged afresh.
void ForgetReleases();

// Tests only: the outgoing check judges every message not covered, as if the
// rules had changed between the worker's judgement and the check's.
void SetCheckHoldsEverythingForTesting(bool on);

// The worker loop itself (started by StartMonitoring).
void CheckNewMessagesForTarnvex();

#endif  // TARNVEX_HOLD_MONITOR_H_
