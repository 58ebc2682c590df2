// The watch over the stores: logged on, the stores entered, every store
// advised. While something of it fails, a keeper thread tries again every
// kWatchRetryMs; the problem is said on stderr and to the user once each time
// it changes. Meanwhile the device sends nothing from the Outboxes of an
// image where Tarnvex is installed, since Tarnvex does not listen there.
#include "hold/watch_keeper.h"

#include <cstdio>
#include <exception>
#include <string>
#include <utility>

#include "base/debug.h"
#include "hold/monitor.h"  // the pauses and limits

namespace hold {

WatchKeeper::WatchKeeper(Env* env, Stores* stores, Calls calls)
    : env_(env), stores_(stores), calls_(std::move(calls)) {}

std::string WatchKeeper::TryWatch() {
  if (!stores_->EnsureSession().ok())
    return "the message service cannot be opened";
  bool entered = false;
  {
    base::MutexLock guard(&lock_);
    entered = stores_entered_;
  }
  if (!entered) {
    base::DebugOut(
        "**************************** Starting MailStore Retrieval "
        "*************************\n\n");
    Owned<IMAPITable> table;
    if (FAILED(
            stores_->Session()->GetMsgStoresTable(MAPI_UNICODE, table.put())) ||
        !table) {
      return "the message service has no usable table of stores";
    }
    stores_->Enumerate(table.release(), calls_.new_advise_sink);
    base::MutexLock guard(&lock_);
    stores_entered_ = true;
  }
  int32_t missing = stores_->EnterMissing();
  if (missing > 0) {
    return std::to_string(missing) + " message store(s) cannot be watched";
  }
  return "";
}

bool WatchKeeper::StoresEntered() {
  base::MutexLock guard(&lock_);
  return stores_entered_;
}

void WatchKeeper::SayProblem(const std::string& problem) {
  std::function<void(const std::string&)> tell;
  {
    base::MutexLock guard(&lock_);
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

// The keeper's thread: tries again every kWatchRetryMs until everything is
// watched or it is stopped.
void WatchKeeper::Retry() {
  for (;;) {
    {
      base::MutexLock guard(&lock_);
      const auto until = env_->Now() + std::chrono::milliseconds(kWatchRetryMs);
      while (!stop_ && env_->Now() < until)
        env_->WaitUntil(&changed_, &lock_, until);
      if (stop_) return;
    }
    std::string problem = TryWatch();
    if (StoresEntered()) calls_.stores_entered();
    SayProblem(problem);
    if (problem.empty()) {
      calls_.watched_again();
      return;
    }
  }
}

void WatchKeeper::StartRetrying() {
  base::MutexLock guard(&lock_);
  if (thread_.joinable()) return;
  stop_ = false;
  try {
    thread_ = std::thread([this] { Retry(); });
  } catch (const std::exception& e) {
    base::DebugOut("Monitoring: no thread to try again: %s\n", e.what());
  }
}

void WatchKeeper::StopRetrying() {
  std::thread keeper;
  {
    base::MutexLock guard(&lock_);
    stop_ = true;
    changed_.SignalAll();
    keeper = std::move(thread_);
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

void WatchKeeper::Forget() {
  base::MutexLock guard(&lock_);
  stores_entered_ = false;
  stop_ = false;
  problem_.clear();
}

void WatchKeeper::SetProblemHandler(
    std::function<void(const std::string&)> handler) {
  base::MutexLock guard(&lock_);
  on_problem_ = std::move(handler);
}

std::string WatchKeeper::Problem() {
  base::MutexLock guard(&lock_);
  return problem_;
}

}  // namespace hold
