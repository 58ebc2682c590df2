// The watch over the stores: logged on, the stores entered, every store
// advised. While something of it fails, the keeper's thread tries again every
// kWatchRetryMs; the problem is said on stderr and to the user once each time
// it changes. It owns that thread and the lock over what it watches; the
// Monitor owns it.
#ifndef TARNVEX_HOLD_WATCH_KEEPER_H_
#define TARNVEX_HOLD_WATCH_KEEPER_H_

#include <functional>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "hold/env.h"
#include "hold/stores.h"
#include "mapi/mapi.h"
#include "mapi/owned.h"

namespace hold {

class WatchKeeper {
 public:
  // What the keeper asks of the rest of the watch.
  struct Calls {
    // A new advise sink for one store, bound to the outgoing check.
    std::function<Owned<IMAPIAdviseSink>()> new_advise_sink;
    // The stores were entered by a retry: the worker may start.
    std::function<void()> stores_entered;
    // Everything is watched again after a retry.
    std::function<void()> watched_again;
  };
  // `env` and `stores` are the watch's (kept, not owned).
  WatchKeeper(Env* env, Stores* stores, Calls calls);
  ~WatchKeeper() { StopRetrying(); }
  WatchKeeper(const WatchKeeper&) = delete;
  WatchKeeper& operator=(const WatchKeeper&) = delete;

  // One try at watching everything; the problem, or empty.
  std::string TryWatch() EXCLUDES(lock_);
  // Whether the stores have been entered (the worker may run).
  bool StoresEntered() EXCLUDES(lock_);
  // Says `problem` (empty: the problem is gone) when it is not the last one
  // said.
  void SayProblem(const std::string& problem) EXCLUDES(lock_);
  // Starts the thread that tries again until everything is watched.
  void StartRetrying() EXCLUDES(lock_);
  // Ends that thread (from the thread itself too: it is then let go).
  void StopRetrying() EXCLUDES(lock_);
  // After a stop: forgets the stores entered and the problem said.
  void Forget() EXCLUDES(lock_);

  // See Monitor::SetProblemHandler and Problem.
  void SetProblemHandler(std::function<void(const std::string&)> handler)
      EXCLUDES(lock_);
  std::string Problem() EXCLUDES(lock_);

 private:
  void Retry() EXCLUDES(lock_);

  Env* const env_;
  Stores* const stores_;
  const Calls calls_;

  base::Mutex lock_;
  base::CondVar changed_;
  std::thread thread_ GUARDED_BY(lock_);
  bool stores_entered_ GUARDED_BY(lock_) = false;
  bool stop_ GUARDED_BY(lock_) = false;
  // The last problem said, empty when all is watched.
  std::string problem_ GUARDED_BY(lock_);
  std::function<void(const std::string&)> on_problem_ GUARDED_BY(lock_);
};

}  // namespace hold

#endif  // TARNVEX_HOLD_WATCH_KEEPER_H_
