// The watch over the stores: logged on, the stores entered, every store
// advised. While something of it fails, a keeper thread tries again every
// kWatchRetryMs; the problem is said on stderr and to the user once each time
// it changes. Meanwhile the device sends nothing from the Outboxes of an
// image where Tarnvex is installed, since Tarnvex does not listen there.
#include <cstdio>
#include <exception>
#include <string>

#include "base/debug.h"
#include "hold/monitor.h"

namespace hold {

// One try at watching everything; the problem, or empty.
std::string Monitor::TryWatch() {
  if (!stores_.EnsureSession().ok())
    return "the message service cannot be opened";
  bool entered = false;
  {
    base::MutexLock guard(&watch_lock_);
    entered = stores_entered_;
  }
  if (!entered) {
    base::DebugOut(
        "**************************** Starting MailStore Retrieval "
        "*************************\n\n");
    Owned<IMAPITable> table;
    if (FAILED(
            stores_.Session()->GetMsgStoresTable(MAPI_UNICODE, table.put())) ||
        !table) {
      return "the message service has no usable table of stores";
    }
    stores_.Enumerate(table.release(), [this] { return NewAdviseSink(); });
    base::MutexLock guard(&watch_lock_);
    stores_entered_ = true;
  }
  int32_t missing = stores_.EnterMissing();
  if (missing > 0) {
    return std::to_string(missing) + " message store(s) cannot be watched";
  }
  return "";
}

void Monitor::SayProblem(const std::string& problem) {
  std::function<void(const std::string&)> tell;
  {
    base::MutexLock guard(&watch_lock_);
    if (problem_ == problem) return;
    problem_ = problem;
    tell = on_problem_;
  }
  if (problem.empty()) {
    std::fprintf(stderr, "Tarnvex: the message stores are watched again\n");
  } else {
    std::fprintf(
        stderr,
        "Tarnvex: %s; outgoing messages are held back until Tarnvex can watch "
        "them; trying again every %d s\n",
        problem.c_str(), kWatchRetryMs / 1000);
  }
  if (tell) tell(problem);
}

void Monitor::StartKeeper() {
  base::MutexLock guard(&watch_lock_);
  if (keeper_.joinable()) return;
  keeper_stop_ = false;
  try {
    keeper_ = std::thread([this] {
      for (;;) {
        {
          base::MutexLock g(&watch_lock_);
          const auto until =
              env_->Now() + std::chrono::milliseconds(kWatchRetryMs);
          while (!keeper_stop_ && env_->Now() < until)
            env_->WaitUntil(&watch_changed_, &watch_lock_, until);
          if (keeper_stop_) return;
        }
        std::string problem = TryWatch();
        bool entered = false;
        {
          base::MutexLock g(&watch_lock_);
          entered = stores_entered_;
        }
        if (entered) StartWorker();
        SayProblem(problem);
        if (problem.empty()) {
          RefreshMessageList();
          return;
        }
      }
    });
  } catch (const std::exception& e) {
    base::DebugOut("Monitoring: no thread to try again: %s\n", e.what());
  }
}

void Monitor::StopKeeper() {
  std::thread keeper;
  {
    base::MutexLock guard(&watch_lock_);
    keeper_stop_ = true;
    watch_changed_.SignalAll();
    keeper = std::move(keeper_);
  }
  if (!keeper.joinable()) return;
  // The keeper's own call (a handler told of a problem stops the watch) cannot
  // wait for itself.
  if (keeper.get_id() != std::this_thread::get_id()) {
    keeper.join();
  } else {
    keeper.detach();
  }
}

}  // namespace hold
