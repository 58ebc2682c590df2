// The transport's relay thread: claims, delivers and records each
// recipient's outcome, with retries and failure notices.
#include "mail/relay/relay_worker.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "device/files.h"
#include "device/image.h"
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

RelayWorker::RelayWorker(RelaySettingsWatch* settings,
                         RelayWorkerOptions options,
                         const std::atomic<bool>* stop)
    : settings_(settings), options_(std::move(options)), stop_(stop) {}

RelayWorker::~RelayWorker() {
  deliverer_.reset();
  if (lock_fd_ >= 0) close(lock_fd_);
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

void RelayWorker::Run() {
  while (!stop_->load()) {
    const int handed = Pass();
    if (handed > 0) continue;
    std::this_thread::sleep_for(std::chrono::milliseconds(options_.pass_ms));
  }
}

int RelayWorker::Pass() {
  if (!TakeLock()) return -1;
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
    // New settings, a new connection.
    deliverer_.reset();
    if (have_generation_ && relay.on && !relay.url.empty())
      Say("relay: " + DescribeRelay(relay));
    generation_ = generation;
    have_generation_ = true;
  }
  if (!relay.on || relay.url.empty()) return 0;
  base::StatusOr<std::vector<mail::DeliveryCandidate>> found =
      mail::DueDeliveries(relay.store, options_.send_delay_ms, NowMs());
  if (!found.ok()) {
    // Read again at the next pass.
    base::IgnoreFailure(found.status(), "Finding the due deliveries");
    return 0;
  }
  const std::vector<mail::DeliveryCandidate>& due = *found;
  // Each outcome is committed together with the next message's claim: one
  // synced commit a message.
  int handed = 0;
  base::StatusOr<mail::DeliveryClaim> claim = mail::DeliveryClaim{};
  if (!due.empty()) claim = mail::ClaimDelivery(due[0], NowMs());
  for (size_t i = 0; i < due.size(); ++i) {
    const mail::DeliveryCandidate& c = due[i];
    const mail::DeliveryCandidate* next =
        i + 1 < due.size() ? &due[i + 1] : nullptr;
    // A claim that could not be written leaves the message to a later pass.
    if (!claim.ok()) base::IgnoreFailure(claim.status(), "Claiming a delivery");
    if (claim.ok() && claim->result == mail::ClaimResult::kFinished) {
      Say("delivery: " + MessageName(c.id) + " done: moved into Sent Items");
      ++handed;
    }
    if (!claim.ok() || claim->result != mail::ClaimResult::kClaimed) {
      if (next == nullptr || stop_->load()) break;
      claim = mail::ClaimDelivery(*next, NowMs());
      continue;
    }
    std::vector<mail::DeliveryOutcome> outcomes = Deliver(c, *claim, relay);
    // Stopped in the middle: the recipients stay "sending" and are tried
    // again at once after the restart, not after a retry's pause.
    if (stop_->load()) {
      bool any_answer = false;
      for (const mail::DeliveryOutcome& o : outcomes)
        any_answer |= o.verdict != mail::DeliveryVerdict::kDeferred;
      if (!any_answer) break;
      next = nullptr;
    }
    mail::DeliveryRecord record;
    mail::DeliveryClaim next_claim;
    bool next_claimed = false;
    if (next != nullptr) {
      const base::Status both =
          mail::RecordDeliveryAndClaim(c.id, outcomes, options_.policy, NowMs(),
                                       &record, *next, &next_claim);
      // The outcome alone is recorded next, and the claim made after it.
      base::IgnoreFailure(both, "Recording a delivery with the next claim");
      next_claimed = both.ok();
    }
    bool recorded = next_claimed;
    // The relay has answered: the outcome must be kept, or a delivered
    // recipient would be sent the message again.
    while (!recorded) {
      const base::Status alone = mail::RecordDelivery(
          c.id, outcomes, options_.policy, NowMs(), &record);
      recorded = alone.ok();
      if (recorded || stop_->load()) break;
      // Tried again after a pause.
      base::IgnoreFailure(alone, "Recording a delivery");
      std::this_thread::sleep_for(std::chrono::milliseconds(kRecordRetryMs));
    }
    if (!recorded) break;
    ++handed;
    std::vector<mail::RecipientDelivery> failed;
    for (const mail::RecipientDelivery& r : record.changed) {
      Say("delivery: " + MessageName(c.id) + " to " +
          DescribeRecipientState(r));
      if (r.state == mail::DeliveryState::kFailed) failed.push_back(r);
    }
    if (!failed.empty() && options_.failed) options_.failed(c.id, failed);
    if (record.finished) {
      Say("delivery: " + MessageName(c.id) + " done: moved into Sent Items" +
          (record.noticed ? "; a failure notice is in the Inbox" : ""));
    }
    if (next == nullptr || stop_->load()) break;
    if (next_claimed) {
      claim = std::move(next_claim);
    } else {
      claim = mail::ClaimDelivery(*next, NowMs());
    }
  }
  return handed;
}

std::vector<mail::DeliveryOutcome> RelayWorker::Deliver(
    const mail::DeliveryCandidate& candidate, const mail::DeliveryClaim& claim,
    const RelaySettings& relay) {
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
  if (!deliverer_)
    deliverer_ = std::make_unique<Deliverer>(relay, options_.timeouts, stop_);
  return deliverer_->Deliver(from, claim.recipients, raw);
}

}  // namespace mail
