// The watch's owner: its start and stop, and the handlers through which it
// tells the user interface what it does.
#include "hold/monitor.h"

#include "filter/rule_table.h"

namespace hold {

Monitor::Monitor(Env* env)
    : own_env_(env == nullptr ? std::make_unique<Env>() : nullptr),
      env_(env == nullptr ? own_env_.get() : env),
      stores_(env_, &releases_),
      worker_(
          env_, &stores_, &releases_, [this] { RefreshMessageList(); },
          [this](const std::string& text) { ShowStatusText(text); }),
      keeper_(env_, &stores_,
              {[this] { return NewAdviseSink(); }, [this] { worker_.Start(); },
               [this] { RefreshMessageList(); }}) {
  stores_.SetProgressHandler(
      [this](const std::string& text) { ShowStatusText(text); });
}

Monitor::~Monitor() {
  if (started_.load()) Stop();
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
  std::string problem = keeper_.TryWatch();
  const bool entered = keeper_.StoresEntered();
  if (!problem.empty()) {
    // Retrying starts before the problem is told: whoever is told (a window
    // that waits for the user) never holds the retries up.
    keeper_.StartRetrying();
    keeper_.SayProblem(problem);
  }
  if (!entered) return false;
  RefreshMessageList();
  return worker_.Start();
}

void Monitor::Stop() {
  stopping_.store(true);
  keeper_.StopRetrying();
  worker_.Stop();
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
  keeper_.Forget();
  OpenChecks();
  stopping_.store(false);
  started_.store(false);
}

WorkerPause::WorkerPause(Monitor* monitor) : monitor_(monitor) {
  if (monitor_ != nullptr) monitor_->worker_.AddPauseHolder();
}

WorkerPause::~WorkerPause() {
  if (monitor_ != nullptr) monitor_->worker_.RemovePauseHolder();
}

}  // namespace hold
