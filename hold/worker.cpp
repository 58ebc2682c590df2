// The worker, on its own thread at below-normal priority: walks a store's
// held folder after a message was held there, and every held folder after the
// rules changed (and once at the start), recording and releasing. It sleeps
// until there is work (a held message, a rules change, a walk due again) or
// a pause or the stop is asked for; the user interface keeps it still with a
// WorkerPause while it works on the rules and databases itself.
#include <algorithm>
#include <cassert>
#include <exception>
#include <vector>

#include "base/debug.h"
#include "device/threads.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"

namespace hold {

bool Monitor::SafePoint() {
  base::MutexLock guard(&worker_lock_);
  if (stop_) return false;
  if (!paused_) return true;
  standing_ = true;
  worker_changed_.SignalAll();
  while (paused_ && !stop_) worker_changed_.Wait(&worker_lock_);
  standing_ = false;
  return !stop_;
}

bool Monitor::WaitForWork(Env::Clock::time_point due) {
  for (;;) {
    {
      base::MutexLock guard(&worker_lock_);
      for (;;) {
        if (stop_) return false;
        if (paused_) break;  // stands still at the safe point below
        bool pending = false;
        const StoreTableData& stores = stores_.table();
        for (int32_t i = 0; i < stores.count.load() && !pending; ++i)
          pending = stores.records[i].pending.load() != 0;
        if (work_ || rules_changed_ || pending || env_->Now() >= due)
          return true;
        env_->WaitUntil(&worker_changed_, &worker_lock_, due);
      }
    }
    if (!SafePoint()) return false;
  }
}

void Monitor::WakeWorker() {
  base::MutexLock guard(&worker_lock_);
  work_ = true;
  worker_changed_.SignalAll();
}

void Monitor::NoteRulesChanged() {
  base::MutexLock guard(&worker_lock_);
  rules_changed_ = true;
  worker_changed_.SignalAll();
}

bool Monitor::RulesChangeNoted() {
  base::MutexLock guard(&worker_lock_);
  return rules_changed_;
}

// Runs until the stop.
void Monitor::WorkerLoop() {
  // A worker started while a pause is asked for touches nothing before it.
  if (!SafePoint()) return;
  try {
    if (RuleCount() == 0) LoadRules();
  } catch (...) {
    base::DebugCaught("ERROR in CheckNewMessagesForTarnvex : 1");
  }
  // The first pass walks every held folder: messages held but not recorded
  // before the program last ended are taken up at once.
  bool first_pass = true;
  // Each store's walk that failed, and when it is due again. A walk left part
  // made, or made while the rules could not be read, would leave a release
  // the rules allow, or a record, to whatever event came next.
  struct Retry {
    Env::Clock::time_point at{};
    int failures = 0;
  };
  std::vector<Retry> retries(kMaxStores);
  // The rules every held message was last judged under: a reload that
  // brought other rules, whoever made it (the editor, Update, a retry), is a
  // rules change even when nobody raised the flag.
  uint64_t judged_generation = RuleGeneration();
  for (;;) {
    Env::Clock::time_point due = Env::Clock::time_point::max();
    for (const Retry& retry : retries) {
      if (retry.failures > 0) due = std::min(due, retry.at);
    }
    if (!first_pass && !WaitForWork(due)) return;
    bool rules_flag = false;
    {
      base::MutexLock guard(&worker_lock_);
      rules_flag = rules_changed_;
      rules_changed_ = false;
      work_ = false;
    }
    const uint64_t generation = RuleGeneration();
    const bool rules_pass =
        rules_flag || first_pass || generation != judged_generation;
    judged_generation = generation;
    if (rules_pass) releases_.ForgetReleases();
    first_pass = false;
    StoreTableData& stores = stores_.table();
    const int32_t count = stores.count.load();
    for (int32_t i = 0; i < count; ++i) {
      assert(i < kMaxStores);
      StoreRecord& record = stores.records[i];
      try {
        Retry& failed = retries[i];
        const bool retry = failed.failures > 0 && env_->Now() >= failed.at;
        if (record.pending.exchange(0) != 1 && !rules_pass && !retry) continue;
        // A gentle pause before each walk, ended early by a pause or a stop.
        {
          base::MutexLock guard(&worker_lock_);
          const auto until =
              env_->Now() + std::chrono::milliseconds(kStorePauseMs);
          while (!paused_ && !stop_ && env_->Now() < until)
            env_->WaitUntil(&worker_changed_, &worker_lock_, until);
        }
        if (!SafePoint()) return;
        base::DebugOut("Working on %s\n", record.name);
        // Rules that could not be read judged the last walk: read them
        // again first (an empty table is otherwise passed over as judged).
        if (retry && RulesLoadFailed()) LoadRules();
        // Rules that cannot be read now leave the walk to a later pass.
        const bool rules_read =
            env_->Fault(Env::Step::kReadRules, record.name).ok();
        const base::Status walked =
            rules_read ? stores_.ScanHeldFolder(record)
                       : base::Status::Busy("the rules cannot be read");
        const bool whole = walked.ok();
        if (!whole) {
          base::DebugOut("Failed to CheckNewMessagesForTarnvex: %s\n",
                         walked.ToString().c_str());
        }
        if (whole && !RulesLoadFailed()) {
          failed = Retry{};
        } else {
          const int doublings =
              std::min(failed.failures, kWalkRetryMaxDoublings);
          ++failed.failures;
          failed.at = env_->Now() +
                      std::chrono::milliseconds(kWalkRetryMs << doublings);
          base::DebugOut("%s: walked again in %d ms\n", record.name,
                         kWalkRetryMs << doublings);
        }
        if (!rules_pass) RefreshMessageList();
      } catch (...) {
        base::DebugCaught("ERROR in CheckNewMessagesForTarnvex : 3");
      }
    }
    if (rules_pass) RefreshMessageList();
    ShowStatusText("");
  }
}

bool Monitor::StartWorker() {
  base::MutexLock guard(&worker_lock_);
  if (running_) return true;
  if (worker_.joinable()) {
    std::thread ended = std::move(worker_);
    guard.Unlock();
    ended.join();
    guard.Lock();
    if (running_) return true;
  }
  stop_ = false;
  // A worker started while a pause guard lives (the watch came back while the
  // rules editor is open) starts paused, as the one it replaces would be.
  paused_ = pause_holders_ > 0;
  standing_ = false;
  running_ = true;
  stores_.SetWalkSafePoint([this] { return SafePoint(); });
  try {
    worker_ = std::thread([this] {
      device::SetCurrentThreadPriority(device::ThreadPriority::kBelowNormal);
      {
        base::MutexLock g(&worker_lock_);
        worker_id_ = std::this_thread::get_id();
      }
      WorkerLoop();
      base::MutexLock g(&worker_lock_);
      running_ = false;
      worker_changed_.SignalAll();
    });
  } catch (const std::exception& e) {
    base::DebugOut("Monitoring: no thread for the worker: %s\n", e.what());
    running_ = false;
    return false;
  }
  return true;
}

void Monitor::StopWorker() {
  std::thread worker;
  {
    base::MutexLock guard(&worker_lock_);
    stop_ = true;
    worker_changed_.SignalAll();
    worker = std::move(worker_);
  }
  if (worker.joinable()) worker.join();
  base::MutexLock guard(&worker_lock_);
  stop_ = false;
  paused_ = pause_holders_ > 0;
  worker_id_ = std::thread::id();
  work_ = false;
  rules_changed_ = false;
}

// Sets the pause flag and waits until the worker stands still.
bool Monitor::PauseLocked() {
  // The worker cannot wait for itself.
  if (std::this_thread::get_id() == worker_id_) return false;
  paused_ = true;
  worker_changed_.SignalAll();
  while (!standing_ && running_) worker_changed_.Wait(&worker_lock_);
  return running_;
}

bool Monitor::PauseWorker() {
  base::MutexLock guard(&worker_lock_);
  if (!running_ || paused_) return false;
  return PauseLocked();
}

bool Monitor::ResumeWorker() {
  base::MutexLock guard(&worker_lock_);
  if (!running_ || !paused_) return false;
  paused_ = false;
  worker_changed_.SignalAll();
  return true;
}

WorkerPause::WorkerPause(Monitor* monitor) : monitor_(monitor) {
  if (monitor_ == nullptr) return;
  Monitor& m = *monitor_;
  base::MutexLock guard(&m.worker_lock_);
  ++m.pause_holders_;
  if (!m.running_) {
    m.paused_ = true;  // a worker started meanwhile starts still
    return;
  }
  // The worker cannot wait for itself.
  if (std::this_thread::get_id() == m.worker_id_) return;
  if (!m.paused_) {
    m.paused_ = true;
    m.worker_changed_.SignalAll();
  }
  // Every guard, not only the first, returns once the worker stands still.
  while (!m.standing_ && m.running_) m.worker_changed_.Wait(&m.worker_lock_);
}

WorkerPause::~WorkerPause() {
  if (monitor_ == nullptr) return;
  Monitor& m = *monitor_;
  base::MutexLock guard(&m.worker_lock_);
  assert(m.pause_holders_ > 0);
  if (--m.pause_holders_ == 0) {
    m.paused_ = false;
    m.worker_changed_.SignalAll();
  }
}

}  // namespace hold
