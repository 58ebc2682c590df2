// A relay's deliveries in the service file: which recipients of a message
// are waiting, being sent, delivered, deferred or failed (deliveries.h).
#include "mail/queue/deliveries.h"

#include <algorithm>
#include <map>

#include "device/service/gate.h"
#include "device/service/service.h"
#include "device/service/service_db.h"

namespace mail {

namespace service = device::service;
using service::Due;
using service::EntryKind;
using service::Journal;
using service::Lock;
using service::Query;

namespace {

constexpr DeliveryState kStates[] = {
    DeliveryState::kWaiting, DeliveryState::kSending, DeliveryState::kDelivered,
    DeliveryState::kDeferred, DeliveryState::kFailed};

DeliveryState StateOf(const std::string& word) {
  for (DeliveryState s : kStates) {
    if (word == DeliveryStateName(s)) return s;
  }
  return DeliveryState::kWaiting;  // a word another writer made up
}

// "message 12", as the service's own failures name one.
std::string MessageNamed(int64_t id) {
  return "message " + std::to_string(static_cast<long long>(id));
}

Due GateView(const DeliveryCandidate& c) {
  Due d;
  d.id = c.id;
  d.store = c.store_id;
  d.outbox = c.outbox;
  d.since = c.since;
  d.arrival = c.arrival;
  d.arrival_stamp = c.arrival_stamp;
  d.store_name = c.store;
  return d;
}

// Whether the message has a recipient that is neither delivered nor failed.
bool HasOpenRecipients(int64_t message, bool* failed) REQUIRES(Lock()) {
  Query q(
      "SELECT 1 FROM deliveries WHERE message = ? AND state IN ('waiting', "
      "'sending', 'deferred') LIMIT 1;");
  q.Bind(1, message);
  const bool open = q.Step();
  if (q.failed()) *failed = true;
  return open;
}

// The notice of a message that could not be delivered to everyone, for the
// store's Inbox: who, and what the relay said.
std::string NoticeText(const std::string& subject,
                       const std::vector<RecipientDelivery>& rows) {
  std::string failed, delivered;
  for (const RecipientDelivery& r : rows) {
    if (r.state == DeliveryState::kFailed) {
      failed += "  " + r.recipient + "\n    " + r.reply + "\n";
    } else if (r.state == DeliveryState::kDelivered) {
      delivered += (delivered.empty() ? "" : ", ") + r.recipient;
    }
  }
  std::string text = "Your message \"" + subject +
                     "\" could not be delivered to these recipients:\n\n" +
                     failed + "\n";
  text += delivered.empty() ? "It was delivered to nobody.\n"
                            : "It was delivered to: " + delivered + "\n";
  text += "The message is in Sent Items.\n";
  return text;
}

// Inside a change: the message, done with, goes from its Outbox into Sent
// Items, and when a recipient failed a notice goes into the Inbox. Only from
// the Outbox: a message held meanwhile stays where it is and is finished
// when it comes back. False when the file could not be written.
std::vector<RecipientDelivery> DeliveryStatesLocked(int64_t message)
    REQUIRES(Lock());

bool Finish(int64_t message, int64_t now_ms, DeliveryRecord* record)
    REQUIRES(Lock()) {
  Query where(
      "SELECT f.store, f.id, m.subject FROM messages m JOIN folders f ON f.id "
      "= m.folder WHERE m.id = ? AND f.kind = ?;");
  where.Bind(1, message)
      .Bind(2, static_cast<int64_t>(device::FolderKind::kOutbox));
  if (!where.Step()) return !where.failed();
  const int64_t store = where.Int64(0), outbox = where.Int64(1);
  const std::string subject = where.Text(2);
  bool failed = false;
  const int64_t sent_items = service::StandardFolder(
      store, static_cast<int>(device::FolderKind::kSentItems), &failed);
  const int64_t inbox = service::StandardFolder(
      store, static_cast<int>(device::FolderKind::kInbox), &failed);
  if (failed) return false;
  if (sent_items == 0) return true;
  Query move(
      "UPDATE messages SET folder = ?, in_folder_since = ?, submit_time = ?, "
      "flags = flags & ~? WHERE id = ? AND folder = ?;");
  move.Bind(1, sent_items).Bind(2, now_ms).Bind(3, now_ms);
  move.Bind(4, static_cast<int64_t>(MSGFLAG_UNSENT))
      .Bind(5, message)
      .Bind(6, outbox);
  if (move.Exec() != SQLITE_DONE) return false;
  if (sqlite3_changes(service::Db()) != 1) return true;
  if (!Journal(fnevObjectMoved, store, EntryKind::kMessage, message, sent_items,
               outbox)) {
    return false;
  }
  if (record != nullptr) record->finished = true;
  std::vector<RecipientDelivery> rows = DeliveryStatesLocked(message);
  const bool any_failed =
      std::any_of(rows.begin(), rows.end(), [](const RecipientDelivery& r) {
        return r.state == DeliveryState::kFailed;
      });
  if (!any_failed || inbox == 0) return true;
  const std::string body = NoticeText(subject, rows);
  Query notice(
      "INSERT INTO messages (folder, subject, body, sender_name, "
      "sender_address, delivery_time, flags, in_folder_since) VALUES (?, ?, "
      "NULL, ?, '', ?, 0, ?);");
  notice.Bind(1, inbox).Bind(2, "Undelivered mail: " + subject);
  notice.Bind(3, kDeliveryNoticeSender).Bind(4, now_ms).Bind(5, now_ms);
  if (notice.Exec() != SQLITE_DONE) return false;
  const int64_t id = sqlite3_last_insert_rowid(service::Db());
  Query b(
      "INSERT INTO bodies (message, preview, body) VALUES (?, substr(?, 1, ?), "
      "?);");
  b.Bind(1, id).Bind(2, body);
  b.Bind(3, static_cast<int64_t>(service::kBodyPreviewChars)).Bind(4, body);
  if (b.Exec() != SQLITE_DONE) return false;
  if (!Journal(fnevObjectCreated, store, EntryKind::kMessage, id, inbox, 0))
    return false;
  if (record != nullptr) record->noticed = true;
  return true;
}

}  // namespace

const char* DeliveryStateName(DeliveryState state) {
  switch (state) {
    case DeliveryState::kWaiting:
      return "waiting";
    case DeliveryState::kSending:
      return "sending";
    case DeliveryState::kDelivered:
      return "delivered";
    case DeliveryState::kDeferred:
      return "deferred";
    case DeliveryState::kFailed:
      return "failed";
  }
  return "waiting";
}

base::StatusOr<std::vector<DeliveryCandidate>> DueDeliveries(
    const std::string& store, int64_t send_delay_ms, int64_t now_ms) {
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return opened;
  const base::Status unread =
      base::Status::IoError("cannot read the Outboxes of " + store);
  std::vector<Due> outboxes;
  if (!service::ReadOutboxes(now_ms - send_delay_ms, &outboxes)) return unread;
  std::vector<DeliveryCandidate> due;
  base::MutexLock guard(&Lock());
  for (const Due& d : outboxes) {
    if (!d.may_send || d.store_name != store) continue;
    // Due: nothing under way, and a recipient waiting, deferred until now
    // or earlier, or not yet in the queue at all; or nothing left open (to
    // be finished).
    Query q(
        "SELECT EXISTS (SELECT 1 FROM deliveries WHERE message = ?1 AND state "
        "= 'sending'), EXISTS (SELECT 1 FROM deliveries WHERE message = ?1 "
        "AND (state = 'waiting' OR (state = 'deferred' AND due_ms <= ?2))), "
        "EXISTS (SELECT 1 FROM recipients r WHERE r.message = ?1 AND NOT "
        "EXISTS (SELECT 1 FROM deliveries x WHERE x.message = ?1 AND "
        "x.recipient = r.address)), EXISTS (SELECT 1 FROM deliveries WHERE "
        "message = ?1 AND state = 'deferred');");
    q.Bind(1, d.id).Bind(2, now_ms);
    if (!q.Step()) return unread;
    const bool sending = q.Int(0) != 0, ready = q.Int(1) != 0,
               fresh = q.Int(2) != 0, deferred = q.Int(3) != 0;
    if (sending || !(ready || fresh || !deferred)) continue;
    DeliveryCandidate c;
    c.id = d.id;
    c.store = d.store_name;
    c.store_id = d.store;
    c.outbox = d.outbox;
    c.since = d.since;
    c.arrival = d.arrival;
    c.arrival_stamp = d.arrival_stamp;
    due.push_back(std::move(c));
  }
  return due;
}

namespace {

// The hand-over of one message, inside a change. False when the file could
// not be read or written.
bool ClaimIn(const DeliveryCandidate& candidate, int64_t now_ms,
             DeliveryClaim* claim) REQUIRES(Lock()) {
  const Due gate = GateView(candidate);
  const int64_t id = candidate.id;
  claim->recipients.clear();
  Query still(std::string("SELECT 1 FROM messages WHERE ") +
              service::kStillAsGateSaw + ";");
  service::BindStillAsGateSaw(still, 1, gate);
  if (!still.Step()) {
    claim->result = ClaimResult::kGone;
    return !still.failed();
  }
  Query busy(
      "SELECT 1 FROM deliveries WHERE message = ? AND state = 'sending';");
  busy.Bind(1, id);
  if (busy.Step()) {
    claim->result = ClaimResult::kNotDue;
    return true;
  }
  if (busy.failed()) return false;
  // The recipients as judged, each once, in their order.
  std::vector<std::string> recipients;
  Query r(
      "SELECT address FROM recipients WHERE message = ? ORDER BY position;");
  r.Bind(1, id);
  while (r.Step()) {
    std::string a = r.Text(0);
    if (std::find(recipients.begin(), recipients.end(), a) == recipients.end())
      recipients.push_back(std::move(a));
  }
  if (r.failed()) return false;
  std::map<std::string, std::string> rows;
  Query existing("SELECT recipient, state FROM deliveries WHERE message = ?;");
  existing.Bind(1, id);
  while (existing.Step()) rows[existing.Text(0)] = existing.Text(1);
  if (existing.failed()) return false;
  for (const auto& [recipient, state] : rows) {
    if (state != "waiting" && state != "deferred") continue;
    if (std::find(recipients.begin(), recipients.end(), recipient) !=
        recipients.end()) {
      continue;
    }
    Query drop("DELETE FROM deliveries WHERE message = ? AND recipient = ?;");
    drop.Bind(1, id).Bind(2, recipient);
    if (drop.Exec() != SQLITE_DONE) return false;
  }
  for (const std::string& recipient : recipients) {
    if (rows.count(recipient) != 0) continue;
    Query add(
        "INSERT INTO deliveries (message, recipient, state) VALUES (?, ?, "
        "'waiting');");
    add.Bind(1, id).Bind(2, recipient);
    if (add.Exec() != SQLITE_DONE) return false;
  }
  Query take(
      "UPDATE deliveries SET state = 'sending', attempts = attempts + 1 "
      "WHERE message = ? AND (state = 'waiting' OR (state = 'deferred' AND "
      "due_ms <= ?)) RETURNING recipient;");
  take.Bind(1, id).Bind(2, now_ms);
  std::vector<std::string> taken;
  while (take.Step()) taken.push_back(take.Text(0));
  if (take.failed()) return false;
  for (const std::string& recipient : recipients) {
    if (std::find(taken.begin(), taken.end(), recipient) != taken.end())
      claim->recipients.push_back(recipient);
  }
  if (!claim->recipients.empty()) {
    claim->result = ClaimResult::kClaimed;
    return true;
  }
  bool failed = false;
  if (HasOpenRecipients(id, &failed)) {
    claim->result = ClaimResult::kNotDue;
    return true;
  }
  if (failed || !Finish(id, now_ms, nullptr)) return false;
  claim->result = ClaimResult::kFinished;
  return true;
}

// The outcome of one transaction, inside a change.
bool RecordIn(int64_t message, const std::vector<DeliveryOutcome>& outcomes,
              const DeliveryPolicy& policy, int64_t now_ms,
              DeliveryRecord* made) REQUIRES(Lock()) {
  *made = DeliveryRecord{};
  for (const DeliveryOutcome& o : outcomes) {
    Query row(
        "SELECT attempts, first_deferred_ms, reply FROM deliveries WHERE "
        "message = ? AND recipient = ? AND state = 'sending';");
    row.Bind(1, message).Bind(2, o.recipient);
    if (!row.Step()) {
      if (row.failed()) return false;
      continue;  // not this delivery's (reset meanwhile)
    }
    RecipientDelivery now;
    now.recipient = o.recipient;
    now.attempts = row.Int(0);
    now.first_deferred_ms = row.IsNull(1) ? 0 : row.Int64(1);
    const std::string before = row.Text(2);
    now.reply = o.reply;
    switch (o.verdict) {
      case DeliveryVerdict::kDelivered:
        now.state = DeliveryState::kDelivered;
        break;
      case DeliveryVerdict::kFailed:
        now.state = DeliveryState::kFailed;
        break;
      case DeliveryVerdict::kDeferred:
        if (now.first_deferred_ms == 0) now.first_deferred_ms = now_ms;
        if (now_ms - now.first_deferred_ms >= policy.give_up_after_ms) {
          now.state = DeliveryState::kFailed;
          now.reply = "not delivered for " +
                      std::to_string((now_ms - now.first_deferred_ms) / 1000) +
                      " s, given up; last try: " + o.reply;
        } else {
          now.state = DeliveryState::kDeferred;
          now.due_ms =
              now_ms + RetryDelayMs(now.attempts, policy.retry_base_ms);
        }
        break;
    }
    Query update(
        "UPDATE deliveries SET state = ?, due_ms = ?, reply = ?, "
        "first_deferred_ms = ? WHERE message = ? AND recipient = ?;");
    update.Bind(1, DeliveryStateName(now.state)).Bind(2, now.due_ms);
    update.Bind(3, now.reply);
    if (now.first_deferred_ms != 0) {
      update.Bind(4, now.first_deferred_ms);
    } else {
      sqlite3_bind_null(update.get(), 4);
    }
    update.Bind(5, message).Bind(6, o.recipient);
    if (update.Exec() != SQLITE_DONE) return false;
    if (now.state != DeliveryState::kDeferred || now.reply != before ||
        now.attempts == 1) {
      made->changed.push_back(now);
    }
  }
  bool failed = false;
  if (HasOpenRecipients(message, &failed) || failed) return !failed;
  return Finish(message, now_ms, made);
}

}  // namespace

base::StatusOr<DeliveryClaim> ClaimDelivery(const DeliveryCandidate& candidate,
                                            int64_t now_ms) {
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return opened;
  DeliveryClaim claim;
  if (!service::DurableChange([&]() REQUIRES(Lock()) {
        return ClaimIn(candidate, now_ms, &claim);
      })) {
    return base::Status::IoError("cannot hand over " +
                                 MessageNamed(candidate.id));
  }
  return claim;
}

int64_t RetryDelayMs(int attempts, int64_t retry_base_ms) {
  int64_t delay = std::max<int64_t>(retry_base_ms, 1);
  for (int i = 1; i < attempts && delay < kMaxRetryDelayMs; ++i) delay *= 2;
  return std::min(delay, kMaxRetryDelayMs);
}

base::Status RecordDelivery(int64_t message,
                            const std::vector<DeliveryOutcome>& outcomes,
                            const DeliveryPolicy& policy, int64_t now_ms,
                            DeliveryRecord* record) {
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return opened;
  DeliveryRecord made;
  if (!service::DurableChange([&]() REQUIRES(Lock()) {
        return RecordIn(message, outcomes, policy, now_ms, &made);
      })) {
    return base::Status::IoError("cannot record the delivery of " +
                                 MessageNamed(message));
  }
  if (record != nullptr) *record = std::move(made);
  return base::Status::Ok();
}

base::Status CommitDeliverySteps(std::vector<DeliveryStep>* steps,
                                 const DeliveryPolicy& policy, int64_t now_ms) {
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return opened;
  std::vector<DeliveryRecord> records(steps->size());
  std::vector<DeliveryClaim> claims(steps->size());
  if (!service::DurableChange([&]() REQUIRES(Lock()) {
        for (size_t i = 0; i < steps->size(); ++i) {
          const DeliveryStep& s = (*steps)[i];
          if (s.message != 0 &&
              !RecordIn(s.message, s.outcomes, policy, now_ms, &records[i]))
            return false;
        }
        for (size_t i = 0; i < steps->size(); ++i) {
          const DeliveryStep& s = (*steps)[i];
          if (s.next.id != 0 && !ClaimIn(s.next, now_ms, &claims[i]))
            return false;
        }
        return true;
      })) {
    return base::Status::IoError("cannot record " +
                                 std::to_string(steps->size()) +
                                 " delivery step(s) in one commit");
  }
  for (size_t i = 0; i < steps->size(); ++i) {
    (*steps)[i].record = std::move(records[i]);
    (*steps)[i].claim = std::move(claims[i]);
  }
  return base::Status::Ok();
}

base::Status RecordDeliveryAndClaim(
    int64_t message, const std::vector<DeliveryOutcome>& outcomes,
    const DeliveryPolicy& policy, int64_t now_ms, DeliveryRecord* record,
    const DeliveryCandidate& next, DeliveryClaim* next_claim) {
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return opened;
  DeliveryRecord made;
  DeliveryClaim claimed;
  if (!service::DurableChange([&]() REQUIRES(Lock()) {
        return RecordIn(message, outcomes, policy, now_ms, &made) &&
               ClaimIn(next, now_ms, &claimed);
      })) {
    return base::Status::IoError("cannot record the delivery of " +
                                 MessageNamed(message) + " and hand over " +
                                 MessageNamed(next.id));
  }
  if (record != nullptr) *record = std::move(made);
  *next_claim = std::move(claimed);
  return base::Status::Ok();
}

int64_t NextDeferredDueMs(int64_t now_ms) {
  if (!device::OpenMessageService().ok()) return 0;
  base::MutexLock guard(&Lock());
  Query q(
      "SELECT MIN(due_ms) FROM deliveries WHERE state = 'deferred' AND due_ms "
      "> ?;");
  q.Bind(1, now_ms);
  return q.Step() && !q.IsNull(0) ? q.Int64(0) : 0;
}

base::StatusOr<int> ResetInterruptedDeliveries() {
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return opened;
  const base::Status unwritten =
      base::Status::IoError("cannot reset the deliveries cut short");
  {
    // Read first: a transport that starts with nothing cut short writes
    // nothing.
    base::MutexLock guard(&Lock());
    Query any("SELECT 1 FROM deliveries WHERE state = 'sending' LIMIT 1;");
    if (!any.Step()) {
      if (any.failed()) return unwritten;
      return 0;
    }
  }
  int reset = 0;
  const bool ok = service::DurableChange([&]() REQUIRES(Lock()) {
    Query q("UPDATE deliveries SET state = 'waiting' WHERE state = 'sending';");
    if (q.Exec() != SQLITE_DONE) return false;
    reset = sqlite3_changes(service::Db());
    return true;
  });
  if (!ok) return unwritten;
  return reset;
}

namespace {

std::vector<RecipientDelivery> DeliveryStatesLocked(int64_t message) {
  std::vector<RecipientDelivery> out;
  Query q(
      "SELECT recipient, state, due_ms, attempts, first_deferred_ms, reply "
      "FROM deliveries WHERE message = ? ORDER BY rowid;");
  q.Bind(1, message);
  while (q.Step()) {
    RecipientDelivery r;
    r.recipient = q.Text(0);
    r.state = StateOf(q.Text(1));
    r.due_ms = q.Int64(2);
    r.attempts = q.Int(3);
    r.first_deferred_ms = q.IsNull(4) ? 0 : q.Int64(4);
    r.reply = q.Text(5);
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace

std::vector<RecipientDelivery> DeliveryStates(int64_t message) {
  if (!device::OpenMessageService().ok()) return {};
  base::MutexLock guard(&Lock());
  return DeliveryStatesLocked(message);
}

}  // namespace mail
