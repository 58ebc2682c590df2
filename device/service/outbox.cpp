// New messages into a store's Outbox: one at a time, as the messaging
// application saves them, or a batch of mail in one synced commit (the
// submission server's group commit).
#include <string_view>
#include <utility>

#include "device/codepage.h"
#include "device/service/service.h"
#include "device/service/service_db.h"

namespace device {

using service::Journal;
using service::Lock;
using service::NowMs;
using service::Query;
using service::Utf8;

namespace {

// A message checked and converted, ready to be written: everything that
// takes time is done before the write lock is taken (an 8 MiB body takes a
// while to convert, and other writers wait while the lock is held).
struct Prepared {
  int64_t store_id = 0;
  int64_t outbox = 0;
  // The fields as written: the converted ones below, or a caller's UTF-8
  // (which outlives the write).
  std::string_view subject, body, sender_name, sender_address;
  const std::vector<std::string>* recipients = nullptr;
  std::string own_subject, own_body, own_sender_name, own_sender_address;
  std::vector<std::string> own_recipients;
  int64_t delivery_time_ms = 0;
  uint32_t flags = 0;
  const KeptMail* raw = nullptr;
};

base::Status BodyTooLong() {
  return base::Status::InvalidArgument(
      "the body is too long (a message holds at most " +
      std::to_string(kMaxBodyBytes / 2) +
      " characters, counted in UTF-16 units)");
}

// A message over the service's limits is refused input; a store that is
// not there is not found; the rest says what the file did. The fields are
// taken as they are: UTF-8 already.
base::Status Check(const std::string& store, size_t recipients,
                   std::string_view body, const KeptMail* raw, Prepared* out) {
  if (recipients > kMaxRecipients) {
    return base::Status::InvalidArgument("too many recipients (at most " +
                                         std::to_string(kMaxRecipients) + ")");
  }
  // Counted in the units the service's readers take it in.
  if (Utf16UnitsCut(body, kMaxBodyBytes / 2) < body.size()) {
    return BodyTooLong();
  }
  if (raw != nullptr && raw->raw.size() > kMaxRawBytes) {
    return base::Status::InvalidArgument("the message is too large (at most " +
                                         std::to_string(kMaxRawBytes) +
                                         " bytes as received)");
  }
  {
    base::MutexLock guard(&Lock());
    Query q("SELECT id FROM stores WHERE name = ?;");
    q.Bind(1, store);
    out->store_id = q.Step() ? q.Int64(0) : 0;
    if (out->store_id != 0) {
      out->outbox = service::StandardFolder(
          out->store_id, static_cast<int>(FolderKind::kOutbox));
    }
  }
  if (out->store_id == 0)
    return base::Status::NotFound("no store \"" + store + "\" on the device");
  if (out->outbox == 0)
    return base::Status::Corrupt("the store \"" + store + "\" has no Outbox");
  out->raw = raw;
  return base::Status::Ok();
}

base::Status Prepare(const std::string& store, const ServiceMessage& message,
                     const KeptMail* raw, Prepared* out) {
  if (message.body.size() * 2 > kMaxBodyBytes) {
    return BodyTooLong();
  }
  if (base::Status ok = Check(store, message.recipients.size(), {}, raw, out);
      !ok.ok())
    return ok;
  out->body = out->own_body = Utf8(message.body);
  out->subject = out->own_subject = Utf8(message.subject);
  out->sender_name = out->own_sender_name = Utf8(message.sender_name);
  out->sender_address = out->own_sender_address = Utf8(message.sender_address);
  out->own_recipients.reserve(message.recipients.size());
  for (const std::u16string& r : message.recipients)
    out->own_recipients.push_back(Utf8(r));
  out->recipients = &out->own_recipients;
  out->delivery_time_ms = message.delivery_time_ms;
  out->flags = message.flags;
  return base::Status::Ok();
}

// The rows of one message, inside the caller's transaction.
bool Insert(const Prepared& m, int64_t now, int64_t* id) REQUIRES(Lock()) {
  Query q(
      "INSERT INTO messages (folder, subject, body, sender_name, "
      "sender_address, delivery_time, flags, in_folder_since) VALUES (?, ?, "
      "NULL, ?, ?, ?, ?, ?);");
  q.Bind(1, m.outbox).Bind(2, m.subject);
  q.Bind(3, m.sender_name).Bind(4, m.sender_address);
  q.Bind(5, m.delivery_time_ms != 0 ? m.delivery_time_ms : now);
  q.Bind(6, static_cast<int64_t>(m.flags | MSGFLAG_UNSENT)).Bind(7, now);
  if (q.Exec() != SQLITE_DONE) return false;
  *id = sqlite3_last_insert_rowid(service::Db());
  // The body in a row of its own (schema.cpp).
  Query b(
      "INSERT INTO bodies (message, preview, body) VALUES (?, substr(?, 1, "
      "?), ?);");
  b.Bind(1, *id).Bind(2, m.body);
  b.Bind(3, static_cast<int64_t>(service::kBodyPreviewChars)).Bind(4, m.body);
  if (b.Exec() != SQLITE_DONE) return false;
  for (size_t i = 0; i < m.recipients->size(); ++i) {
    Query r(
        "INSERT INTO recipients (message, position, address) VALUES (?, ?, "
        "?);");
    r.Bind(1, *id).Bind(2, static_cast<int64_t>(i)).Bind(3, (*m.recipients)[i]);
    if (r.Exec() != SQLITE_DONE) return false;
  }
  if (m.raw != nullptr) {
    Query k(
        "INSERT INTO raw_messages (message, envelope_from, raw) VALUES (?, "
        "?, ?);");
    k.Bind(1, *id).Bind(2, m.raw->envelope_from);
    k.BindBlob(3, m.raw->raw);
    if (k.Exec() != SQLITE_DONE) return false;
  }
  return Journal(fnevObjectCreated, m.store_id, service::EntryKind::kMessage,
                 *id, m.outbox, 0);
}

base::Status EnsureOpen() {
  base::MutexLock guard(&Lock());
  return service::Service().EnsureOpen();
}

// Saves a message into the store's Outbox, with its raw form when given (and
// then committed with a full sync: the caller's "accepted" follows).
base::StatusOr<int64_t> SaveIntoOutbox(const std::string& store,
                                       const ServiceMessage& message,
                                       const KeptMail* raw) {
  if (base::Status opened = EnsureOpen(); !opened.ok()) return opened;
  Prepared prepared;
  if (base::Status ok = Prepare(store, message, raw, &prepared); !ok.ok())
    return ok;
  int64_t id = 0;
  auto save = [&]() REQUIRES(Lock()) { return Insert(prepared, NowMs(), &id); };
  const bool ok =
      raw != nullptr ? service::DurableChange(save) : service::Change(save);
  if (!ok) return base::Status::IoError("cannot save the message");
  return id;
}

}  // namespace

base::StatusOr<int64_t> SaveOutgoingMessage(const std::string& store,
                                            const ServiceMessage& message) {
  return SaveIntoOutbox(store, message, nullptr);
}

base::StatusOr<int64_t> SaveOutgoingMail(const std::string& store,
                                         const ServiceMessage& message,
                                         const KeptMail& raw) {
  return SaveIntoOutbox(store, message, &raw);
}

std::vector<base::StatusOr<int64_t>> SaveOutgoingMails(
    const std::vector<OutgoingMail>& mails) {
  std::vector<base::StatusOr<int64_t>> results;
  results.reserve(mails.size());
  const base::Status opened = EnsureOpen();
  std::vector<Prepared> prepared(mails.size());
  std::vector<size_t> ready;  // the mails that are written
  for (size_t i = 0; i < mails.size(); ++i) {
    const OutgoingMail& mail = mails[i];
    base::Status ok = opened;
    if (ok.ok()) {
      ok = Check(mail.store, mail.recipients.size(), mail.body, &mail.raw,
                 &prepared[i]);
    }
    if (ok.ok()) {
      Prepared& p = prepared[i];
      p.subject = mail.subject;
      p.body = mail.body;
      p.sender_name = mail.sender_name;
      p.sender_address = mail.sender_address;
      p.recipients = &mail.recipients;
    }
    if (ok.ok()) {
      results.emplace_back(int64_t{0});
      ready.push_back(i);
    } else {
      results.emplace_back(std::move(ok));
    }
  }
  if (ready.empty()) return results;
  std::vector<int64_t> ids(mails.size(), 0);
  const bool all = service::DurableChange([&]() REQUIRES(Lock()) {
    const int64_t now = NowMs();
    for (size_t i : ready) {
      if (!Insert(prepared[i], now, &ids[i])) return false;
    }
    return true;
  });
  if (all) {
    for (size_t i : ready) results[i] = ids[i];
    return results;
  }
  // One message the file would not take must not fail the others with
  // it: each is tried again in a commit of its own.
  for (size_t i : ready) {
    int64_t id = 0;
    const bool one = service::DurableChange(
        [&]() REQUIRES(Lock()) { return Insert(prepared[i], NowMs(), &id); });
    if (one) {
      results[i] = id;
    } else {
      results[i] = base::Status::IoError("cannot save the message");
    }
  }
  return results;
}

}  // namespace device
