// The worker, on its own thread at below-normal priority: walks a store's
// held folder after a message was held there, and every held folder after the
// rules changed (and once at the start), recording and releasing. It sleeps
// until there is work (a held message, a rules change, a walk due again) or
// a pause or the stop is asked for; the user interface keeps it still with a
// WorkerPause while it works on the rules and databases itself.
#include "hold/worker.h"

#include <algorithm>
#include <cassert>
#include <exception>
#include <utility>
#include <vector>

#include "base/debug.h"
#include "device/threads.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"  // the pauses and limits

namespace hold {

Worker::Worker(Env* env, Stores* stores, LoopBreaker* releases,
               std::function<void()> refresh_message_list,
               std::function<void(const std::string&)> show_status_text)
    : env_(env),
      stores_(stores),
      releases_(releases),
      refresh_message_list_(std::move(refresh_message_list)),
      show_status_text_(std::move(show_status_text)) {}

bool Worker::SafePoint() {
  base::MutexLock guard(&lock_);
  if (stop_) return false;
  if (!paused_) return true;
  standing_ = true;
  changed_.SignalAll();
  while (paused_ && !stop_) changed_.Wait(&lock_);
  standing_ = false;
  return !stop_;
}

bool Worker::WaitForWork(Env::Clock::time_point due) {
  for (;;) {
    {
      base::MutexLock guard(&lock_);
      for (;;) {
        if (stop_) return false;
        if (paused_) break;  // stands still at the safe point below
        bool pending = false;
        const StoreTableData& stores = stores_->table();
        for (int32_t i = 0; i < stores.count.load() && !pending; ++i)
          pending = stores.records[i].pending.load() != 0;
        if (work_ || rules_changed_ || pending || env_->Now() >= due)
          return true;
        env_->WaitUntil(&changed_, &lock_, due);
      }
    }
    if (!SafePoint()) return false;
  }
}

void Worker::Wake() {
  base::MutexLock guard(&lock_);
  work_ = true;
  changed_.SignalAll();
}

void Worker::NoteRulesChanged() {
  base::MutexLock guard(&lock_);
  rules_changed_ = true;
  changed_.SignalAll();
}

bool Worker::RulesChangeNoted() {
  base::MutexLock guard(&lock_);
  return rules_changed_;
}

// Runs until the stop.
void Worker::Loop() {
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
      base::MutexLock guard(&lock_);
      rules_flag = rules_changed_;
      rules_changed_ = false;
      work_ = false;
    }
    const uint64_t generation = RuleGeneration();
    const bool rules_pass =
        rules_flag || first_pass || generation != judged_generation;
    judged_generation = generation;
    if (rules_pass) releases_->ForgetReleases();
    // The pass at the start walks at once: what waited while the program
    // did not run is judged without a pause before each store.
    const bool at_start = first_pass;
    first_pass = false;
    StoreTableData& stores = stores_->table();
    const int32_t count = stores.count.load();
    for (int32_t i = 0; i < count; ++i) {
      assert(i < kMaxStores);
      StoreRecord& record = stores.records[i];
      try {
        Retry& failed = retries[i];
        const bool retry = failed.failures > 0 && env_->Now() >= failed.at;
        if (record.pending.exchange(0) != 1 && !rules_pass && !retry) continue;
        // A gentle pause before each walk, ended early by a pause or a stop.
        if (!at_start) {
          base::MutexLock guard(&lock_);
          const auto until =
              env_->Now() + std::chrono::milliseconds(kStorePauseMs);
          while (!paused_ && !stop_ && env_->Now() < until)
            env_->WaitUntil(&changed_, &lock_, until);
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
            rules_read ? stores_->ScanHeldFolder(record)
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
        if (!rules_pass) refresh_message_list_();
      } catch (...) {
        base::DebugCaught("ERROR in CheckNewMessagesForTarnvex : 3");
      }
    }
    if (rules_pass) refresh_message_list_();
    show_status_text_("");
  }
}

bool Worker::Start() {
  base::MutexLock guard(&lock_);
  if (running_) return true;
  if (thread_.joinable()) {
    std::thread ended = std::move(thread_);
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
  stores_->SetWalkSafePoint([this] { return SafePoint(); });
  try {
    thread_ = std::thread([this] {
      device::SetCurrentThreadPriority(device::ThreadPriority::kBelowNormal);
      {
        base::MutexLock g(&lock_);
        thread_id_ = std::this_thread::get_id();
      }
      Loop();
      base::MutexLock g(&lock_);
      running_ = false;
      changed_.SignalAll();
    });
  } catch (const std::exception& e) {
    base::DebugOut("Monitoring: no thread for the worker: %s\n", e.what());
    running_ = false;
    return false;
  }
  return true;
}

void Worker::Stop() {
  std::thread worker;
  {
    base::MutexLock guard(&lock_);
    stop_ = true;
    changed_.SignalAll();
    worker = std::move(thread_);
  }
  if (worker.joinable()) worker.join();
  base::MutexLock guard(&lock_);
  stop_ = false;
  paused_ = pause_holders_ > 0;
  thread_id_ = std::thread::id();
  work_ = false;
  rules_changed_ = false;
}

bool Worker::PauseLocked() {
  // The worker cannot wait for itself.
  if (std::this_thread::get_id() == thread_id_) return false;
  paused_ = true;
  changed_.SignalAll();
  while (!standing_ && running_) changed_.Wait(&lock_);
  return running_;
}

bool Worker::Pause() {
  base::MutexLock guard(&lock_);
  if (!running_ || paused_) return false;
  return PauseLocked();
}

bool Worker::Resume() {
  base::MutexLock guard(&lock_);
  if (!running_ || !paused_) return false;
  paused_ = false;
  changed_.SignalAll();
  return true;
}

void Worker::AddPauseHolder() {
  base::MutexLock guard(&lock_);
  ++pause_holders_;
  if (!running_) {
    paused_ = true;  // a worker started meanwhile starts still
    return;
  }
  // The worker cannot wait for itself.
  if (std::this_thread::get_id() == thread_id_) return;
  if (!paused_) {
    paused_ = true;
    changed_.SignalAll();
  }
  // Every guard, not only the first, returns once the worker stands still.
  while (!standing_ && running_) changed_.Wait(&lock_);
}

void Worker::RemovePauseHolder() {
  base::MutexLock guard(&lock_);
  assert(pause_holders_ > 0);
  if (--pause_holders_ == 0) {
    paused_ = false;
    changed_.SignalAll();
  }
}

}  // namespace hold
