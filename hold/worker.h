// The worker, on its own thread at below-normal priority: walks a store's
// held folder after a message was held there, and every held folder after the
// rules changed (and once at the start), recording and releasing. It owns its
// thread and the lock over its pause and stop requests; the Monitor owns it.
#ifndef TARNVEX_HOLD_WORKER_H_
#define TARNVEX_HOLD_WORKER_H_

#include <functional>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "hold/env.h"
#include "hold/loop_breaker.h"
#include "hold/stores.h"

namespace hold {

class Worker {
 public:
  // `env`, `stores` and `releases` are the watch's (kept, not owned);
  // `refresh_message_list` and `show_status_text` tell the browser what the
  // worker did.
  Worker(Env* env, Stores* stores, LoopBreaker* releases,
         std::function<void()> refresh_message_list,
         std::function<void(const std::string&)> show_status_text);
  ~Worker() { Stop(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts the thread (again after it ended); false when there is no thread.
  bool Start() EXCLUDES(lock_);
  // Ends the thread and forgets the work noted for it.
  void Stop() EXCLUDES(lock_);

  // A message was held: the worker walks the stores with pending flags.
  void Wake() EXCLUDES(lock_);
  // See Monitor::NoteRulesChanged and RulesChangeNoted.
  void NoteRulesChanged() EXCLUDES(lock_);
  bool RulesChangeNoted() EXCLUDES(lock_);

  // See Monitor::PauseWorker and ResumeWorker.
  bool Pause() EXCLUDES(lock_);
  bool Resume() EXCLUDES(lock_);
  // A WorkerPause begins (returns once the worker stands still) and ends.
  void AddPauseHolder() EXCLUDES(lock_);
  void RemovePauseHolder() EXCLUDES(lock_);

 private:
  void Loop();
  // Waits while a pause is asked for; false when the worker is to end.
  bool SafePoint() EXCLUDES(lock_);
  // Waits until a store's walk is asked for (a pending store, a rules change,
  // a walk due again at `due`), a pause or a stop; false when the worker is
  // to end.
  bool WaitForWork(Env::Clock::time_point due) EXCLUDES(lock_);
  // Sets the pause flag and waits until the worker stands still.
  bool PauseLocked() REQUIRES(lock_);

  Env* const env_;
  Stores* const stores_;
  LoopBreaker* const releases_;
  const std::function<void()> refresh_message_list_;
  const std::function<void(const std::string&)> show_status_text_;

  // The thread and its pause and stop requests. A pause is a request the
  // worker honours at its safe points (between stores, between rows of a
  // held folder, and while it waits); Pause returns once the worker stands
  // still at one. Taken after the watch keeper's lock, never before it.
  base::Mutex lock_;
  base::CondVar changed_;
  std::thread thread_ GUARDED_BY(lock_);
  std::thread::id thread_id_ GUARDED_BY(lock_);
  bool running_ GUARDED_BY(lock_) = false;  // started, not ended
  bool paused_ GUARDED_BY(lock_) = false;   // one pause, not a count
  // WorkerPause guards alive (a worker started while one lives starts
  // paused).
  int pause_holders_ GUARDED_BY(lock_) = 0;
  bool standing_ GUARDED_BY(lock_) = false;  // waits at a safe point
  bool stop_ GUARDED_BY(lock_) = false;
  // Work for the worker: a store's pending flag or the rules-changed flag
  // was raised since it last looked.
  bool work_ GUARDED_BY(lock_) = false;
  bool rules_changed_ GUARDED_BY(lock_) = false;
};

}  // namespace hold

#endif  // TARNVEX_HOLD_WORKER_H_
