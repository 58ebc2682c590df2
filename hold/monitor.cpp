// The watch's owner: its start and stop, and the handlers through which it
// tells the user interface what it does.
#include "hold/monitor.h"

#include "filter/rule_table.h"

namespace hold {

Monitor::Monitor(Env* env)
    : own_env_(env == nullptr ? std::make_unique<Env>() : nullptr),
      env_(env == nullptr ? own_env_.get() : env),
      stores_(env_, &releases_) {
  stores_.SetProgressHandler(
      [this](const std::string& text) { ShowStatusText(text); });
}

Monitor::~Monitor() {
  if (started_.load()) Stop();
}

void Monitor::SetProblemHandler(
    std::function<void(const std::string&)> handler) {
  base::MutexLock guard(&watch_lock_);
  on_problem_ = std::move(handler);
}

std::string Monitor::Problem() {
  base::MutexLock guard(&watch_lock_);
  return problem_;
}

void Monitor::SetHoldHandler(std::function<void(const HoldNotice&)> handler) {
  base::MutexLock guard(&handlers_lock_);
  on_hold_ = std::move(handler);
}

void Monitor::SetBrowserCalls(BrowserCalls calls) {
  base::MutexLock guard(&handlers_lock_);
  browser_ = std::move(calls);
}

void Monitor::RefreshMessageList() {
  std::function<void()> call;
  {
    base::MutexLock guard(&handlers_lock_);
    call = browser_.refresh_message_list;
  }
  if (call) call();
}

void Monitor::ShowStatusText(const std::string& text) {
  std::function<void(const std::string&)> call;
  {
    base::MutexLock guard(&handlers_lock_);
    call = browser_.show_status_text;
  }
  if (call) call(text);
}

bool Monitor::Start() {
  started_.store(true);
  stopping_.store(false);
  // The rules are loaded here, before any store is watched: the outgoing
  // check never loads them itself (it may not wait on the rules database).
  if (RuleCount() == 0) LoadRules();
  std::string problem = TryWatch();
  bool entered = false;
  {
    base::MutexLock guard(&watch_lock_);
    entered = stores_entered_;
  }
  if (!problem.empty()) {
    // Retrying starts before the problem is told: whoever is told (a window
    // that waits for the user) never holds the retries up.
    StartKeeper();
    SayProblem(problem);
  }
  if (!entered) return false;
  RefreshMessageList();
  return StartWorker();
}

void Monitor::Stop() {
  stopping_.store(true);
  StopKeeper();
  StopWorker();
  // No new notification reaches a sink once its store is unadvised; the
  // checks already under way end soon (they give up retrying when stopping)
  // and are waited for before the stores they use are released. The closer
  // ends after them, having closed the windows of their holds.
  stores_.Unadvise();
  CloseChecks();
  closer_.Stop();
  stores_.Close();
  releases_.ForgetReleases();
  // The rules were loaded by the start; the next start loads them afresh.
  ResetRuleTable();
  {
    base::MutexLock guard(&watch_lock_);
    stores_entered_ = false;
    keeper_stop_ = false;
    problem_.clear();
  }
  OpenChecks();
  stopping_.store(false);
  started_.store(false);
}

}  // namespace hold
