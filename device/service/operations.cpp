// The service's own operations, for the device's tools and tests.
#include <algorithm>
#include <cstring>
#include <limits>

#include "device/service/gate.h"
#include "device/service/listeners.h"
#include "device/service/service.h"
#include "device/service/service_db.h"

namespace device {

using service::Change;
using service::ColumnWide;
using service::Due;
using service::EntryKind;
using service::Journal;
using service::Lock;
using service::NowMs;
using service::Query;
using service::Utf8;

namespace {

struct StandardFolderName {
  FolderKind kind;
  const char* name;
};
constexpr StandardFolderName kStandardFolders[] = {
    {FolderKind::kInbox, "Inbox"},
    {FolderKind::kOutbox, "Outbox"},
    {FolderKind::kSentItems, "Sent Items"},
    {FolderKind::kDrafts, "Drafts"},
    {FolderKind::kDeletedItems, "Deleted Items"},
};

bool ReadMessage(sqlite3_stmt* s, ServiceMessage* m) REQUIRES(Lock()) {
  m->id = sqlite3_column_int64(s, 0);
  int64_t folder = sqlite3_column_int64(s, 1);
  m->subject = ColumnWide(s, 2);
  m->body = ColumnWide(s, 3);
  m->sender_name = ColumnWide(s, 4);
  m->sender_address = ColumnWide(s, 5);
  m->delivery_time_ms = sqlite3_column_int64(s, 6);
  m->submit_time_ms = sqlite3_column_int64(s, 7);
  m->flags = static_cast<uint32_t>(sqlite3_column_int64(s, 8));
  m->store = base::ColumnText(s, 9);
  m->folder_path = service::FolderPath(folder);
  Query r(
      "SELECT address FROM recipients WHERE message = ? ORDER BY position;");
  r.Bind(1, m->id);
  m->recipients.clear();
  while (r.Step()) m->recipients.push_back(ColumnWide(r.get(), 0));
  return true;
}

const std::string kMessageColumns =
    std::string("SELECT m.id, m.folder, m.subject, ") + service::kBodyOf +
    ", m.sender_name, "
    "m.sender_address, "
    "m.delivery_time, m.submit_time, m.flags, s.name FROM messages m JOIN "
    "folders f ON f.id = m.folder JOIN stores s ON s.id = f.store ";

}  // namespace

base::Status OpenMessageService() {
  base::MutexLock guard(&Lock());
  return service::Service().EnsureOpen();
}

void CheckpointInBackground() {
  service::Service().StartBackgroundCheckpoints();
}

void CloseMessageService() {
  // Not under the connection's lock: the notification thread may be waiting
  // for it while it is joined.
  service::Service().StopNotifier();
  base::MutexLock guard(&Lock());
  service::Service().Close();
}

base::Status CreateStore(const std::string& name) {
  if (name.empty() || name.size() > kMaxStoreNameLength ||
      name.find_first_of("\\/\n\r") != std::string::npos) {
    return base::Status::InvalidArgument(
        "a store name is 1 to 63 characters without \\ or /: \"" + name + "\"");
  }
  if (base::Status opened = OpenMessageService(); !opened.ok()) return opened;
  bool ok = Change([&]() REQUIRES(Lock()) {
    Query exists("SELECT id FROM stores WHERE name = ?;");
    exists.Bind(1, name);
    if (exists.Step()) return true;
    Query insert("INSERT INTO stores (name) VALUES (?);");
    insert.Bind(1, name);
    if (insert.Exec() != SQLITE_DONE) return false;
    int64_t store = sqlite3_last_insert_rowid(service::Db());
    Query root(
        "INSERT INTO folders (store, parent, name, kind) VALUES (?, NULL, ?, "
        "?);");
    root.Bind(1, store).Bind(2, name).Bind(
        3, static_cast<int64_t>(FolderKind::kRoot));
    if (root.Exec() != SQLITE_DONE) return false;
    int64_t root_id = sqlite3_last_insert_rowid(service::Db());
    for (const auto& folder : kStandardFolders) {
      Query q(
          "INSERT INTO folders (store, parent, name, kind) VALUES (?, ?, ?, "
          "?);");
      q.Bind(1, store).Bind(2, root_id).Bind(3, std::string(folder.name));
      q.Bind(4, static_cast<int64_t>(folder.kind));
      if (q.Exec() != SQLITE_DONE) return false;
    }
    return true;
  });
  if (!ok)
    return base::Status::IoError("cannot create the store \"" + name + "\"");
  return base::Status::Ok();
}

std::vector<std::string> StoreNames() {
  std::vector<std::string> names;
  if (!OpenMessageService().ok()) return names;
  base::MutexLock guard(&Lock());
  Query q("SELECT name FROM stores ORDER BY id;");
  while (q.Step()) names.push_back(q.Text(0));
  return names;
}

bool GetKeptMail(int64_t id, KeptMail* raw) {
  if (!OpenMessageService().ok()) return false;
  base::MutexLock guard(&Lock());
  Query q("SELECT envelope_from, raw FROM raw_messages WHERE message = ?;");
  q.Bind(1, id);
  if (!q.Step()) return false;
  raw->envelope_from = q.Text(0);
  raw->raw = q.Bytes(1);
  return true;
}

base::Status SetMessageRecipients(
    int64_t id, const std::vector<std::u16string>& recipients) {
  if (base::Status opened = OpenMessageService(); !opened.ok()) return opened;
  if (recipients.size() > kMaxRecipients) {
    return base::Status::InvalidArgument("too many recipients (at most " +
                                         std::to_string(kMaxRecipients) + ")");
  }
  std::vector<std::string> addresses;
  addresses.reserve(recipients.size());
  for (const std::u16string& r : recipients) addresses.push_back(Utf8(r));
  const std::string which =
      "message " + std::to_string(static_cast<long long>(id));
  base::Status refused;
  bool ok = Change([&]() REQUIRES(Lock()) {
    Query q(
        "SELECT f.kind, m.submit_time FROM messages m JOIN folders f ON f.id "
        "= m.folder WHERE m.id = ?;");
    q.Bind(1, id);
    if (!q.Step()) {
      if (!q.failed()) refused = base::Status::NotFound("there is no " + which);
      return false;
    }
    if (q.Int64(0) == static_cast<int64_t>(FolderKind::kSentItems) ||
        q.Int64(1) != 0) {
      refused = base::Status::InvalidArgument(
          which + " was sent; its recipients stay as they were");
      return false;
    }
    Query drop("DELETE FROM recipients WHERE message = ?;");
    drop.Bind(1, id);
    if (drop.Exec() != SQLITE_DONE) return false;
    for (size_t i = 0; i < addresses.size(); ++i) {
      Query r(
          "INSERT INTO recipients (message, position, address) VALUES (?, ?, "
          "?);");
      r.Bind(1, id).Bind(2, static_cast<int64_t>(i)).Bind(3, addresses[i]);
      if (r.Exec() != SQLITE_DONE) return false;
    }
    return true;
  });
  if (ok) return base::Status::Ok();
  if (!refused.ok()) return refused;
  return base::Status::IoError("cannot change the recipients of " + which);
}

std::vector<ServiceMessage> ListMessages(const std::string& store,
                                         const std::string& folder_path) {
  std::vector<ServiceMessage> out;
  if (!OpenMessageService().ok()) return out;
  base::MutexLock guard(&Lock());
  std::string sql =
      std::string(kMessageColumns) +
      (store.empty() ? "ORDER BY m.id;" : "WHERE s.name = ? ORDER BY m.id;");
  Query q(sql);
  if (!store.empty()) q.Bind(1, store);
  while (q.Step()) {
    ServiceMessage m;
    ReadMessage(q.get(), &m);
    if (!folder_path.empty() && m.folder_path != folder_path) continue;
    out.push_back(std::move(m));
  }
  return out;
}

bool GetServiceMessage(int64_t id, ServiceMessage* message) {
  if (!OpenMessageService().ok()) return false;
  base::MutexLock guard(&Lock());
  std::string sql = std::string(kMessageColumns) + "WHERE m.id = ?;";
  Query q(sql);
  q.Bind(1, id);
  if (!q.Step()) return false;
  return ReadMessage(q.get(), message);
}

namespace {

// A read transaction on the process's connection for as long as it lives
// (hold Lock()): the statements in it read one state of the file.
class ReadTransaction {
 public:
  ReadTransaction() REQUIRES(Lock())
      : db_(service::Db()),
        open_(db_ != nullptr && sqlite3_exec(db_, "BEGIN;", nullptr, nullptr,
                                             nullptr) == SQLITE_OK) {}
  ~ReadTransaction() {
    if (open_) sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr);
  }
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  sqlite3* db_;
  bool open_;
};

}  // namespace

namespace service {

bool ReadOutboxes(int64_t since_at_most, std::vector<Due>* due) {
  std::vector<service::ListenerRecord> listeners;
  {
    base::MutexLock guard(&Lock());
    // One snapshot of the file for the messages, their arrivals and the
    // listeners' marks: a backup written back meanwhile cannot pair an
    // arrival of one journal with a mark of another.
    ReadTransaction snapshot;
    Query q(
        "SELECT m.id, f.store, f.id, m.in_folder_since, s.name FROM messages m "
        "JOIN "
        "folders f ON f.id = m.folder JOIN stores s ON s.id = f.store WHERE "
        "f.kind = ? "
        "AND m.in_folder_since <= ? ORDER BY m.id;");
    q.Bind(1, static_cast<int64_t>(FolderKind::kOutbox)).Bind(2, since_at_most);
    while (q.Step()) {
      Due d;
      d.id = q.Int64(0);
      d.store = q.Int64(1);
      d.outbox = q.Int64(2);
      d.since = q.Int64(3);
      d.store_name = q.Text(4);
      due->push_back(std::move(d));
    }
    if (q.failed()) return false;
    if (due->empty()) return true;
    for (Due& d : *due)
      d.arrival = service::ArrivalSeq(d.id, d.outbox, &d.arrival_stamp);
    // A listener whose mark was made on another journal (a restored or
    // replaced service file) has handled nothing of this one.
    listeners = service::LiveListeners();
    for (service::ListenerRecord& l : listeners) {
      if (!service::MarkHolds(l, service::JournalStamp)) l.done = 0;
    }
  }
  const std::vector<service::FilterRegistration> filters =
      service::RegisteredFilters();
  for (Due& d : *due) {
    if (d.arrival == 0) {
      d.waiting_for = "its arrival to be announced to the listeners";
    } else {
      d.may_send = service::MaySend(d.store, d.store_name, d.arrival, listeners,
                                    filters, &d.waiting_for);
    }
  }
  return true;
}

void BindStillAsGateSaw(Query& q, int first, const Due& d) {
  q.Bind(first, d.id).Bind(first + 1, d.outbox).Bind(first + 2, d.since);
  q.Bind(first + 3, d.id)
      .Bind(first + 4, static_cast<int64_t>(EntryKind::kMessage))
      .Bind(first + 5, d.arrival);
  q.Bind(first + 6, d.arrival).Bind(first + 7, d.arrival_stamp);
}

}  // namespace service

std::vector<OutboxState> OutboxStates() {
  std::vector<OutboxState> states;
  if (!OpenMessageService().ok()) return states;
  std::vector<Due> all;
  service::ReadOutboxes(std::numeric_limits<int64_t>::max(), &all);
  for (const Due& d : all)
    states.push_back({d.id, d.store_name, d.may_send, d.waiting_for});
  return states;
}

namespace {

// Entries every live listener has handled and no message in an Outbox needs.
// The entry at a listener's mark stays: its stamp says the mark was made on
// this journal.
constexpr char kTrimmableJournal[] =
    "FROM journal WHERE seq < ? AND NOT (kind = ? AND object IN (SELECT m.id "
    "FROM "
    "messages m JOIN folders f ON f.id = m.folder WHERE f.kind = ?));";

}  // namespace

int TrimJournal() {
  if (!OpenMessageService().ok()) return -1;
  int64_t below = 0;
  {
    base::MutexLock guard(&Lock());
    Query q("SELECT IFNULL(MAX(seq), 0) FROM journal;");
    if (!q.Step()) return -1;
    below = q.Int64(0);
  }
  // Read after the journal's end: a listener that starts meanwhile starts
  // at that end or later.
  for (const service::ListenerRecord& l : service::LiveListeners()) {
    below = std::min(below, l.done);
  }
  auto bind = [below](Query& q) {
    q.Bind(1, below).Bind(2, static_cast<int64_t>(EntryKind::kMessage));
    q.Bind(3, static_cast<int64_t>(FolderKind::kOutbox));
  };
  {
    base::MutexLock guard(&Lock());
    Query q((std::string("SELECT COUNT(*) ") + kTrimmableJournal).c_str());
    bind(q);
    if (!q.Step()) return -1;
    if (q.Int64(0) == 0) return 0;
  }
  int dropped = 0;
  bool ok = Change([&]() REQUIRES(Lock()) {
    Query q((std::string("DELETE ") + kTrimmableJournal).c_str());
    bind(q);
    if (q.Exec() != SQLITE_DONE) return false;
    dropped = sqlite3_changes(service::Db());
    return true;
  });
  return ok ? dropped : -1;
}

int SendDueMessages(int64_t send_delay_ms, std::vector<std::string>* waiting,
                    const std::string& relayed_store) {
  if (waiting != nullptr) waiting->clear();
  if (!OpenMessageService().ok()) return 0;
  const int64_t now = NowMs();
  if (MessageService::Current().JournalTrimDue(now, kJournalTrimIntervalMs))
    TrimJournal();
  // Read first: an idle transport writes nothing and wakes nobody.
  std::vector<Due> due;
  if (!service::ReadOutboxes(now - send_delay_ms, &due)) return 0;
  if (due.empty()) return 0;
  std::vector<Due> sendable, unannounced;
  for (const Due& d : due) {
    if (d.may_send) {
      // The relay's worker hands these over itself (deliveries.h).
      if (relayed_store.empty() || d.store_name != relayed_store)
        sendable.push_back(d);
      continue;
    }
    if (d.arrival == 0) unannounced.push_back(d);
    if (waiting != nullptr) {
      waiting->push_back("message " +
                         std::to_string(static_cast<long long>(d.id)) + " in " +
                         d.store_name + " waits for " + d.waiting_for);
    }
  }
  // A message that reached an Outbox without a journal entry (written by a
  // program that bypassed the service) is announced now, so that every
  // listener judges it before it can go.
  if (!unannounced.empty()) {
    Change([&]() REQUIRES(Lock()) {
      for (const Due& d : unannounced) {
        if (service::ArrivalSeq(d.id, d.outbox) != 0) continue;
        Query still("SELECT 1 FROM messages WHERE id = ? AND folder = ?;");
        still.Bind(1, d.id).Bind(2, d.outbox);
        if (!still.Step()) continue;
        if (!Journal(fnevObjectCreated, d.store, EntryKind::kMessage, d.id,
                     d.outbox, 0)) {
          return false;
        }
      }
      return true;
    });
  }
  if (sendable.empty()) return 0;

  int sent = 0;
  bool ok = Change([&]() REQUIRES(Lock()) {
    sent = 0;
    for (const Due& d : sendable) {
      int64_t sent_items = service::StandardFolder(
          d.store, static_cast<int>(FolderKind::kSentItems));
      if (sent_items == 0) continue;
      // Only if it is still as the gate saw it (gate.h), and not on its
      // way to a relay this moment (a relay set to "none" while it
      // delivers).
      Query u(std::string("UPDATE messages SET folder = ?, in_folder_since = "
                          "?, submit_time = ?, flags = flags & ~? WHERE ") +
              service::kStillAsGateSaw +
              " AND NOT EXISTS (SELECT 1 FROM deliveries WHERE message = ? "
              "AND state = 'sending');");
      u.Bind(1, sent_items)
          .Bind(2, now)
          .Bind(3, now)
          .Bind(4, static_cast<int64_t>(MSGFLAG_UNSENT));
      service::BindStillAsGateSaw(u, 5, d);
      u.Bind(13, d.id);
      if (u.Exec() != SQLITE_DONE) return false;
      if (sqlite3_changes(service::Db()) != 1) continue;
      if (!Journal(fnevObjectMoved, d.store, EntryKind::kMessage, d.id,
                   sent_items, d.outbox)) {
        return false;
      }
      ++sent;
    }
    return true;
  });
  return ok ? sent : 0;
}

}  // namespace device
