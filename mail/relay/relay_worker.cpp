// The transport's relay thread: claims, delivers and records each
// recipient's outcome, with retries and failure notices.
#include "mail/relay/relay_worker.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "device/files.h"
#include "device/image.h"
#include "device/service/change_waiter.h"
#include "device/service/service.h"
#include "mail/relay/composed_message.h"

namespace mail {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string LocalTime(int64_t ms) {
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string MessageName(int64_t id) {
  return "message " + std::to_string(static_cast<long long>(id));
}

// Pause before committing an outcome again that could not be committed.
constexpr int kRecordRetryMs = 200;

}  // namespace

std::string DescribeRecipientState(const mail::RecipientDelivery& r) {
  switch (r.state) {
    case mail::DeliveryState::kWaiting:
      return r.recipient + " waiting";
    case mail::DeliveryState::kSending:
      return r.recipient + " being sent";
    case mail::DeliveryState::kDelivered:
      return r.recipient + " delivered (" + r.reply + ")";
    case mail::DeliveryState::kDeferred:
      return r.recipient + " deferred until " + LocalTime(r.due_ms) +
             " after " + std::to_string(r.attempts) +
             (r.attempts == 1 ? " try: " : " tries: ") + r.reply;
    case mail::DeliveryState::kFailed:
      return r.recipient + " failed: " + r.reply;
  }
  return r.recipient;
}

struct RelayWorker::Connection {
  std::unique_ptr<Deliverer> deliverer;
  unsigned generation = 0;  // of the settings it was made with
  std::thread thread;
};

RelayWorker::RelayWorker(RelaySettingsWatch* settings,
                         RelayWorkerOptions options,
                         const std::atomic<bool>* stop)
    : settings_(settings), options_(std::move(options)), stop_(stop) {
  options_.connections =
      std::clamp(options_.connections, 1, kMaxRelayConnections);
  for (int i = 0; i < options_.connections; ++i)
    connections_.push_back(std::make_unique<Connection>());
}

RelayWorker::~RelayWorker() {
  connections_.clear();
  if (lock_fd_ >= 0) close(lock_fd_);
}

int64_t RelayWorker::FaultPauseMs() const {
  const int64_t pause =
      std::min<int64_t>({options_.timeouts.connect_ms,
                         options_.policy.retry_base_ms, kMaxRelayFaultPauseMs});
  return std::max<int64_t>(pause, 1);
}

void RelayWorker::Say(const std::string& line) const {
  if (options_.say) options_.say(line);
}

bool RelayWorker::TakeLock() {
  if (lock_fd_ >= 0) return true;
  device::EnsurePrivateDir(device::RunDir());
  const std::string path = device::RunDir() + "/delivery.lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                      device::kPrivateFileMode);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    if (!said_locked_) {
      Say("relay: another transport delivers from this image; waiting");
      said_locked_ = true;
    }
    return false;
  }
  // Whoever held the lock before is gone: what it left "sending" was cut
  // short and is tried again.
  if (base::StatusOr<int> reset = mail::ResetInterruptedDeliveries();
      !reset.ok()) {
    // The lock is taken again at the next pass.
    base::IgnoreFailure(reset.status(), "Resetting the deliveries cut short");
    close(fd);
    return false;
  }
  lock_fd_ = fd;
  said_locked_ = false;
  return true;
}

bool RelayWorker::Refill() {
  unsigned generation = 0;
  base::Status unreadable;
  const RelaySettings relay = settings_->Current(&generation, &unreadable);
  const std::string& error = unreadable.message();
  if (error != said_error_) {
    if (!error.empty())
      Say("relay: nothing is delivered nor sent from " + relay.store + ": " +
          error);
    said_error_ = error;
  }
  if (!have_generation_ || generation != generation_) {
    if (have_generation_ && relay.on && !relay.url.empty())
      Say("relay: " + DescribeRelay(relay));
    // New settings are tried at once, whatever the old relay did.
    base::MutexLock guard(&lock_);
    paused_until_ = 0;
    probing_ = false;
    generation_ = generation;
    have_generation_ = true;
  }
  if (!relay.on || relay.url.empty()) return false;
  {
    base::MutexLock guard(&lock_);
    if (NowMs() < paused_until_) return false;
  }
  base::StatusOr<std::vector<mail::DeliveryCandidate>> found =
      mail::DueDeliveries(relay.store, options_.send_delay_ms, NowMs());
  if (!found.ok()) {
    // Read again at the next pass.
    base::IgnoreFailure(found.status(), "Finding the due deliveries");
    return false;
  }
  base::MutexLock guard(&lock_);
  queue_.clear();
  for (mail::DeliveryCandidate& c : *found) {
    if (in_hand_.count(c.id) == 0) queue_.push_back(std::move(c));
  }
  changed_.SignalAll();
  return !queue_.empty();
}

int64_t RelayWorker::NextWakeMs(int64_t now) {
  const RelaySettings relay = settings_->Current();
  int64_t wake = 0;
  auto sooner = [&](int64_t t) {
    if (t > now && (wake == 0 || t < wake)) wake = t;
  };
  {
    base::MutexLock guard(&lock_);
    sooner(paused_until_);
  }
  if (relay.on && !relay.url.empty()) {
    sooner(device::NextSendDueMs(options_.send_delay_ms, now, relay.store));
    sooner(mail::NextDeferredDueMs(now));
  }
  return wake;
}

void RelayWorker::Run() {
  for (auto& c : connections_) {
    Connection* raw = c.get();
    raw->thread = std::thread([this, raw] { Serve(raw, false); });
  }
  device::ServiceChangeWaiter waiter(options_.stop_fd);
  while (!stop_->load()) {
    if (TakeLock()) Refill();
    {
      // Changes meanwhile wait in the waiter: the queue is read again once
      // the connections have taken it.
      base::MutexLock guard(&lock_);
      while (!queue_.empty() && !stop_->load()) {
        changed_.WaitFor(&lock_,
                         std::chrono::milliseconds(
                             device::ServiceChangeWaiter::kFallbackWakeMs));
      }
    }
    if (stop_->load()) break;
    waiter.Wait(NextWakeMs(NowMs()));
  }
  {
    base::MutexLock guard(&lock_);
    changed_.SignalAll();
  }
  for (auto& c : connections_) {
    if (c->thread.joinable()) c->thread.join();
  }
}

int RelayWorker::Pass() {
  if (!TakeLock()) return -1;
  {
    base::MutexLock guard(&lock_);
    handed_ = 0;
  }
  if (!Refill()) return 0;
  size_t due = 0;
  {
    base::MutexLock guard(&lock_);
    due = queue_.size();
  }
  const size_t n = std::min(connections_.size(), due);
  for (size_t i = 0; i < n; ++i) {
    Connection* raw = connections_[i].get();
    raw->thread = std::thread([this, raw] { Serve(raw, true); });
  }
  for (size_t i = 0; i < n; ++i) connections_[i]->thread.join();
  base::MutexLock guard(&lock_);
  queue_.clear();
  return handed_;
}

bool RelayWorker::Take(bool wait, bool until_empty,
                       mail::DeliveryCandidate* next, bool* probe) {
  *probe = false;
  base::MutexLock guard(&lock_);
  for (;;) {
    if (stop_->load()) return false;
    const int64_t now = NowMs();
    const bool paused = now < paused_until_;
    if (!paused && !queue_.empty() && !(probing_ && probe_out_)) {
      *next = std::move(queue_.front());
      queue_.pop_front();
      in_hand_.insert(next->id);
      if (probing_) probe_out_ = *probe = true;
      if (queue_.empty()) changed_.SignalAll();
      return true;
    }
    if (!wait) return false;
    // A pass is over once its queue is taken or the relay failed.
    if (until_empty && (queue_.empty() || paused)) return false;
    changed_.WaitFor(&lock_, std::chrono::milliseconds(
                                 device::ServiceChangeWaiter::kFallbackWakeMs));
  }
}

void RelayWorker::RelayFault() {
  base::MutexLock guard(&lock_);
  // The rest of the pass waits: the relay is tried again after the pause,
  // by one connection.
  queue_.clear();
  paused_until_ = NowMs() + FaultPauseMs();
  probe_out_ = false;
  if (!probing_) {
    probing_ = true;
    Say("relay: not usable now; the waiting mail is tried again in " +
        std::to_string(static_cast<long long>(FaultPauseMs())) + " ms");
  }
  changed_.SignalAll();
}

void RelayWorker::Serve(Connection* c, bool until_empty) {
  mail::DeliveryStep step;  // the outcome not yet committed, if any
  mail::DeliveryCandidate current;
  for (;;) {
    mail::DeliveryCandidate next;
    bool probe = false;
    const bool taken = !stop_->load() && Take(/*wait=*/step.message == 0,
                                              until_empty, &next, &probe);
    bool have_next = taken;
    if (step.message == 0 && !have_next) {
      if (stop_->load() || until_empty) return;
      continue;
    }
    // The settings as they are at this claim: a connection made with older
    // ones is dropped.
    unsigned generation = 0;
    RelaySettings relay;
    if (have_next) {
      relay = settings_->Current(&generation);
      if (!relay.on || relay.url.empty()) have_next = false;
      if (c->deliverer && generation != c->generation) c->deliverer.reset();
    }
    step.next = have_next ? next : mail::DeliveryCandidate{};
    step.claim = mail::DeliveryClaim{};
    Commit(&step);
    if (taken) {
      base::MutexLock guard(&lock_);
      in_hand_.erase(next.id);
    }
    if (step.message != 0) Report(step, current);
    step.message = 0;
    step.outcomes.clear();
    step.record = mail::DeliveryRecord{};
    if (step.next.id == 0) {
      if (probe) {
        base::MutexLock guard(&lock_);
        probe_out_ = false;
        changed_.SignalAll();
      }
      continue;
    }
    const mail::DeliveryClaim claim = std::move(step.claim);
    if (claim.result != mail::ClaimResult::kClaimed) {
      if (claim.result == mail::ClaimResult::kFinished) {
        Say("delivery: " + MessageName(next.id) +
            " done: moved into Sent Items");
        base::MutexLock guard(&lock_);
        ++handed_;
      }
      if (probe) {
        base::MutexLock guard(&lock_);
        probe_out_ = false;
        changed_.SignalAll();
      }
      continue;
    }
    if (!c->deliverer) {
      c->deliverer =
          std::make_unique<Deliverer>(relay, options_.timeouts, stop_);
      c->generation = generation;
    }
    RelayContact contact = RelayContact::kNone;
    const std::vector<mail::DeliveryOutcome> outcomes =
        Deliver(c, next, claim, &contact);
    // Stopped in the middle: the recipients stay "sending" and are tried
    // again at once after the restart, not after a retry's pause.
    if (stop_->load()) {
      const bool any_answer = std::any_of(
          outcomes.begin(), outcomes.end(), [](const mail::DeliveryOutcome& o) {
            return o.verdict != mail::DeliveryVerdict::kDeferred;
          });
      if (!any_answer) return;
    }
    if (contact == RelayContact::kFault) {
      RelayFault();
    } else if (contact == RelayContact::kAnswered || probe) {
      base::MutexLock guard(&lock_);
      if (probe) probe_out_ = false;
      if (probing_ && contact == RelayContact::kAnswered) {
        probing_ = false;
        paused_until_ = 0;
        Say("relay: answering again");
      }
      changed_.SignalAll();
    }
    step.message = next.id;
    step.outcomes = outcomes;
    current = next;
  }
}

void RelayWorker::Commit(mail::DeliveryStep* step) {
  base::MutexLock guard(&commit_lock_);
  ready_.push_back(step);
  for (;;) {
    auto mine = std::find(done_.begin(), done_.end(), step);
    if (mine != done_.end()) {
      done_.erase(mine);
      return;
    }
    if (committing_) {
      committed_.Wait(&commit_lock_);
      continue;
    }
    // This connection commits for every one that is ready.
    committing_ = true;
    std::vector<mail::DeliveryStep*> batch;
    batch.swap(ready_);
    guard.Unlock();
    std::vector<mail::DeliveryStep> steps;
    for (const mail::DeliveryStep* s : batch) steps.push_back(*s);
    base::Status both =
        mail::CommitDeliverySteps(&steps, options_.policy, NowMs());
    if (!both.ok()) {
      // The claims wait for a later pass; the outcomes are committed alone.
      // The relay has answered: they must be kept, or a delivered recipient
      // would be sent the message again.
      base::IgnoreFailure(both, "Recording deliveries with the next claims");
      for (mail::DeliveryStep& s : steps) s.next = mail::DeliveryCandidate{};
      std::vector<mail::DeliveryStep> outcomes;
      for (const mail::DeliveryStep& s : steps) {
        if (s.message != 0) outcomes.push_back(s);
      }
      for (int tries = 0; !outcomes.empty() && !stop_->load(); ++tries) {
        if (tries > 0)
          std::this_thread::sleep_for(
              std::chrono::milliseconds(kRecordRetryMs));
        const base::Status alone =
            mail::CommitDeliverySteps(&outcomes, options_.policy, NowMs());
        if (alone.ok()) break;
        base::IgnoreFailure(alone, "Recording deliveries");
      }
      size_t k = 0;
      for (mail::DeliveryStep& s : steps) {
        if (s.message != 0 && k < outcomes.size())
          s.record = outcomes[k++].record;
      }
    }
    for (size_t i = 0; i < batch.size(); ++i) {
      batch[i]->next = steps[i].next;
      batch[i]->record = std::move(steps[i].record);
      batch[i]->claim = std::move(steps[i].claim);
    }
    guard.Lock();
    committing_ = false;
    done_.insert(done_.end(), batch.begin(), batch.end());
    committed_.SignalAll();
  }
}

void RelayWorker::Report(const mail::DeliveryStep& step,
                         const mail::DeliveryCandidate& message) {
  const mail::DeliveryRecord& record = step.record;
  std::vector<mail::RecipientDelivery> failed;
  for (const mail::RecipientDelivery& r : record.changed) {
    Say("delivery: " + MessageName(message.id) + " to " +
        DescribeRecipientState(r));
    if (r.state == mail::DeliveryState::kFailed) failed.push_back(r);
  }
  if (!failed.empty() && options_.failed) options_.failed(message.id, failed);
  if (record.finished) {
    Say("delivery: " + MessageName(message.id) +
        " done: moved into Sent Items" +
        (record.noticed ? "; a failure notice is in the Inbox" : ""));
  }
  base::MutexLock guard(&lock_);
  ++handed_;
}

std::vector<mail::DeliveryOutcome> RelayWorker::Deliver(
    Connection* c, const mail::DeliveryCandidate& candidate,
    const mail::DeliveryClaim& claim, RelayContact* contact) {
  *contact = RelayContact::kNone;
  std::string raw, from;
  device::KeptMail kept;
  device::ServiceMessage fields;
  if (device::GetKeptMail(candidate.id, &kept)) {
    raw = ToCrlf(kept.raw);
    from = kept.envelope_from;
  } else if (!device::GetServiceMessage(candidate.id, &fields) ||
             !ComposeMessage(fields, &raw, &from)) {
    std::vector<mail::DeliveryOutcome> outcomes;
    for (const std::string& r : claim.recipients) {
      mail::DeliveryOutcome o;
      o.recipient = r;
      o.verdict = mail::DeliveryVerdict::kDeferred;
      o.reply = "the message cannot be read from the message service";
      outcomes.push_back(o);
    }
    return outcomes;
  }
  std::vector<mail::DeliveryOutcome> outcomes =
      c->deliverer->Deliver(from, claim.recipients, raw);
  *contact = c->deliverer->last_contact();
  return outcomes;
}

}  // namespace mail
