// The relay's queue in the message service: for an e-mail store served by a
// relay, the transport's "send" is a delivery to each recipient, and the
// service file keeps each recipient's state (the table "deliveries"), so
// that a recipient once delivered is never sent the message again, whatever
// process dies when.
//
// The road of one message: DueDeliveries finds it when the gate lets it go
// (the same gate as the move into Sent Items) and a recipient is due;
// ClaimDelivery, in a synced transaction that finds the message still as
// the gate saw it, marks the due recipients "sending"; the caller runs one
// SMTP transaction for them; RecordDelivery commits each recipient's
// outcome with a full sync and, once no recipient is left to try, moves
// the message into Sent Items (with a failure notice in the Inbox when some
// failed). Rows left "sending" by a process that died are waiting again
// after ResetInterruptedDeliveries: at most that one transaction is sent
// again. One process delivers from an image at a time (its caller holds a
// lock: mail/relay_worker.h).
#ifndef TARNVEX_MAIL_QUEUE_DELIVERIES_H_
#define TARNVEX_MAIL_QUEUE_DELIVERIES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"

namespace mail {

enum class DeliveryState { kWaiting, kSending, kDelivered, kDeferred, kFailed };
// "waiting", "sending", "delivered", "deferred", "failed": the words the
// service file keeps.
const char* DeliveryStateName(DeliveryState state);

struct RecipientDelivery {
  std::string recipient;
  DeliveryState state = DeliveryState::kWaiting;
  int64_t due_ms = 0;  // deferred: when it is tried again (ms since 1970)
  int attempts = 0;
  int64_t first_deferred_ms = 0;  // 0: never deferred
  std::string reply;  // the relay's words, or why it was not reached
};

// A message the gate lets go, with what the gate saw of it.
struct DeliveryCandidate {
  int64_t id = 0;
  std::string store;
  int64_t store_id = 0, outbox = 0, since = 0, arrival = 0, arrival_stamp = 0;
};

// The messages of `store`'s Outbox that the transport would send now (send
// delay passed, the gate open) and that have a recipient to try: one never
// tried, or deferred until `now_ms` or earlier (or every one done, for the
// message to be finished), or why the service file cannot be read.
base::StatusOr<std::vector<DeliveryCandidate>> DueDeliveries(
    const std::string& store, int64_t send_delay_ms, int64_t now_ms);

enum class ClaimResult {
  kClaimed,   // recipients marked "sending": deliver to them now
  kFinished,  // nobody left to try: the message went into Sent Items
  kNotDue,    // nobody due yet (or a delivery of it is under way)
  kGone,      // no longer as the gate saw it: held, changed or moved
};
struct DeliveryClaim {
  ClaimResult result = ClaimResult::kNotDue;
  // The message's recipients (in the service, as judged) now due, in their
  // order; each once.
  std::vector<std::string> recipients;
};
// The hand-over, in one synced transaction with the conditions of the move
// into Sent Items: the recipients' rows follow the message's recipients
// (new ones waiting; waiting or deferred ones no longer among them
// dropped; delivered and failed ones kept), and the due ones become
// "sending". A failure (nothing changed) when the service file could not be
// written.
base::StatusOr<DeliveryClaim> ClaimDelivery(const DeliveryCandidate& candidate,
                                            int64_t now_ms);

enum class DeliveryVerdict { kDelivered, kDeferred, kFailed };
struct DeliveryOutcome {
  std::string recipient;
  DeliveryVerdict verdict = DeliveryVerdict::kDeferred;
  std::string reply;
};

// Pauses between tries: the first retry after `retry_base_ms`, each next
// one twice as long, at most kMaxRetryDelayMs; a recipient deferred for
// longer than `give_up_after_ms` has failed.
inline constexpr int64_t kDefaultRetryBaseMs = 60 * 1000;
inline constexpr int64_t kMaxRetryDelayMs = 60 * 60 * 1000;
inline constexpr int64_t kDefaultGiveUpAfterMs = 5LL * 24 * 3600 * 1000;
struct DeliveryPolicy {
  int64_t retry_base_ms = kDefaultRetryBaseMs;
  int64_t give_up_after_ms = kDefaultGiveUpAfterMs;
};
// The pause after the `attempts`-th try was deferred (attempts >= 1).
int64_t RetryDelayMs(int attempts, int64_t retry_base_ms);

struct DeliveryRecord {
  // Recipients whose state or reply this outcome changed (a try deferred
  // again for the same reason is no change), as they are now.
  std::vector<RecipientDelivery> changed;
  bool finished = false;  // the message went into Sent Items
  bool noticed = false;   // and a failure notice into the Inbox
};
// Commits the outcome of one SMTP transaction for recipients ClaimDelivery
// marked "sending", with a full sync. A failure when it could not be
// committed (the caller tries again: the relay has answered).
base::Status RecordDelivery(int64_t message,
                            const std::vector<DeliveryOutcome>& outcomes,
                            const DeliveryPolicy& policy, int64_t now_ms,
                            DeliveryRecord* record);

// RecordDelivery and ClaimDelivery of the next message in one synced
// transaction: one sync a message instead of two, with the same promise
// (the outcome is on the disk before the next transaction begins, and so is
// the next claim). A failure, with neither done, when it could not be
// committed.
base::Status RecordDeliveryAndClaim(
    int64_t message, const std::vector<DeliveryOutcome>& outcomes,
    const DeliveryPolicy& policy, int64_t now_ms, DeliveryRecord* record,
    const DeliveryCandidate& next, DeliveryClaim* next_claim);

// One delivery connection's part of a shared commit: the outcome of the
// transaction it has just finished (`message` 0: none) and the message it
// takes next (`next.id` 0: none). `record` and `claim` are filled in once
// the step is committed.
struct DeliveryStep {
  int64_t message = 0;
  std::vector<DeliveryOutcome> outcomes;
  DeliveryCandidate next;
  DeliveryRecord record;
  DeliveryClaim claim;
};
// The steps of several connections in one synced transaction, each outcome
// kept as RecordDelivery keeps it and each next message handed over as
// ClaimDelivery hands it over (outcomes first, so that a message finished
// in the batch is not claimed in it). A failure, with none of them done,
// when it could not be committed: the caller tries again.
base::Status CommitDeliverySteps(std::vector<DeliveryStep>* steps,
                                 const DeliveryPolicy& policy, int64_t now_ms);

// The earliest moment after `now_ms` at which a deferred recipient is due
// again; 0 when none is (or the file cannot be read).
int64_t NextDeferredDueMs(int64_t now_ms);

// Rows left "sending" by a delivering process that died become waiting.
// The number of rows, or why the service file could not be written.
base::StatusOr<int> ResetInterruptedDeliveries();

// The sender's name on a failure notice.
inline constexpr char kDeliveryNoticeSender[] = "Mail delivery";

// The recipients' states of one message (none before its first hand-over).
std::vector<RecipientDelivery> DeliveryStates(int64_t message);

}  // namespace mail

#endif  // TARNVEX_MAIL_QUEUE_DELIVERIES_H_
