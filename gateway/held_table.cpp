// The table of held messages in Gateway.db: its making, the writes of the
// milter and the release worker, and the listings.
#include "gateway/held_table.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>

#include "base/sql_statement.h"

namespace gateway {
namespace {

constexpr int kBusyTimeoutMs = 5000;

// Made beside Msg, which stays as peers know it.
constexpr char kCreateSql[] =
    "CREATE TABLE IF NOT EXISTS GatewayHeld (Row INTEGER PRIMARY KEY, "
    "Host TEXT NOT NULL, QueueId TEXT NOT NULL, MsgId INT, Sender TEXT, "
    "Recipients TEXT, ReceivedDate TEXT, ReceivedTime TEXT, HeldAt INT, "
    "Status INT, Tries INT, NextTry INT, LastError TEXT, "
    "UNIQUE (Host, QueueId));"
    "CREATE INDEX IF NOT EXISTS GatewayHeldStatus ON GatewayHeld (Status);";
constexpr char kInsertSql[] =
    "INSERT OR REPLACE INTO GatewayHeld (Host, QueueId, MsgId, Sender, "
    "Recipients, ReceivedDate, ReceivedTime, HeldAt, Status, Tries, NextTry, "
    "LastError) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";
constexpr char kColumns[] =
    "SELECT h.Row, h.Host, h.QueueId, h.MsgId, h.Sender, h.Recipients, "
    "h.ReceivedDate, h.ReceivedTime, h.HeldAt, h.Status, h.Tries, h.NextTry, "
    "h.LastError";

base::Status SqlFailure(sqlite3* db, int rc) {
  return base::Status::FromSqlite(
      rc, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

}  // namespace

std::string JoinLines(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += '\n';
    out += items[i];
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

HeldTable::~HeldTable() { Close(); }

base::Status HeldTable::Open(const std::string& host_path) {
  base::MutexLock hold(&lock_);
  path_ = host_path;
  return OpenLocked();
}

base::Status HeldTable::OpenLocked() {
  if (db_ != nullptr) return base::Status::Ok();
  if (path_.empty()) return base::Status::IoError("no held table");
  const std::string& host_path = path_;
  // A new file is private, as every records file.
  const int made =
      open(host_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (made >= 0) close(made);
  sqlite3* db = nullptr;
  int rc =
      sqlite3_open_v2(host_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) {
    base::Status failed = SqlFailure(db, rc);
    sqlite3_close(db);
    return failed;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  char* why = nullptr;
  rc = sqlite3_exec(db, "PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, kCreateSql, nullptr, nullptr, &why);
  if (rc != SQLITE_OK) {
    base::Status failed =
        base::Status::FromSqlite(rc, why != nullptr ? why : sqlite3_errmsg(db));
    sqlite3_free(why);
    sqlite3_close(db);
    return failed;
  }
  db_ = db;
  return base::Status::Ok();
}

void HeldTable::Close() {
  base::MutexLock hold(&lock_);
  sqlite3_close(db_);
  db_ = nullptr;
}

base::Status HeldTable::Insert(HeldEntry* entry) {
  base::MutexLock hold(&lock_);
  if (base::Status open = OpenLocked(); !open.ok()) return open;
  int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return SqlFailure(db_, rc);
  const base::Status inserted = InsertLocked(entry);
  rc = sqlite3_exec(db_, inserted.ok() ? "COMMIT;" : "ROLLBACK;", nullptr,
                    nullptr, nullptr);
  if (!inserted.ok()) return inserted;
  return rc == SQLITE_OK ? base::Status::Ok() : SqlFailure(db_, rc);
}

base::Status HeldTable::InsertLocked(HeldEntry* entry) {
  base::Statement earlier(db_,
                          "SELECT Recipients FROM GatewayHeld WHERE Host = ? "
                          "AND QueueId = ? AND Status = ?;");
  earlier.Bind(1, entry->host).Bind(2, entry->queue_id).Bind(3, kHeld);
  const base::Statement::Result found = earlier.Next();
  if (found == base::Statement::Result::kError)
    return SqlFailure(db_, earlier.rc());
  if (found == base::Statement::Result::kRow) {
    for (std::string& recipient : SplitLines(earlier.Text(0))) {
      if (std::find(entry->recipients.begin(), entry->recipients.end(),
                    recipient) == entry->recipients.end()) {
        entry->recipients.push_back(std::move(recipient));
      }
    }
  }
  base::Statement stmt(db_, kInsertSql);
  stmt.Bind(1, entry->host)
      .Bind(2, entry->queue_id)
      .Bind(3, entry->record_id)
      .Bind(4, entry->sender)
      .Bind(5, JoinLines(entry->recipients))
      .Bind(6, entry->received_date)
      .Bind(7, entry->received_time)
      .Bind(8, entry->held_at_ms)
      .Bind(9, entry->status)
      .Bind(10, entry->tries)
      .Bind(11, entry->next_try_ms)
      .Bind(12, entry->last_error);
  const int rc = stmt.Exec();
  if (rc != SQLITE_DONE) return SqlFailure(db_, rc);
  entry->row = sqlite3_last_insert_rowid(db_);
  return base::Status::Ok();
}

base::Status HeldTable::Remove(int64_t row) {
  base::MutexLock hold(&lock_);
  if (base::Status open = OpenLocked(); !open.ok()) return open;
  base::Statement stmt(db_, "DELETE FROM GatewayHeld WHERE Row = ?;");
  stmt.Bind(1, row);
  const int rc = stmt.Exec();
  return rc == SQLITE_DONE ? base::Status::Ok() : SqlFailure(db_, rc);
}

base::Status HeldTable::Update(const HeldEntry& entry) {
  base::MutexLock hold(&lock_);
  if (base::Status open = OpenLocked(); !open.ok()) return open;
  base::Statement stmt(db_,
                       "UPDATE GatewayHeld SET Status = ?, Tries = ?, "
                       "NextTry = ?, LastError = ? WHERE Row = ?;");
  stmt.Bind(1, entry.status)
      .Bind(2, entry.tries)
      .Bind(3, entry.next_try_ms)
      .Bind(4, entry.last_error)
      .Bind(5, entry.row);
  const int rc = stmt.Exec();
  return rc == SQLITE_DONE ? base::Status::Ok() : SqlFailure(db_, rc);
}

base::Status HeldTable::CountOfRecord(int32_t record_id, int32_t status,
                                      int* count) {
  base::MutexLock hold(&lock_);
  *count = 0;
  if (base::Status open = OpenLocked(); !open.ok()) return open;
  base::Statement stmt(
      db_, "SELECT COUNT(*) FROM GatewayHeld WHERE MsgId = ? AND Status = ?;");
  stmt.Bind(1, record_id).Bind(2, status);
  if (!stmt.Step()) return SqlFailure(db_, stmt.rc());
  *count = stmt.Int(0);
  return base::Status::Ok();
}

base::Status HeldTable::ReadRows(const std::string& sql,
                                 const std::vector<std::string>& texts,
                                 std::optional<int32_t> status,
                                 bool with_subject,
                                 std::vector<HeldEntry>* out) {
  out->clear();
  if (base::Status open = OpenLocked(); !open.ok()) return open;
  base::Statement stmt(db_, sql);
  int index = 1;
  for (const std::string& text : texts) stmt.Bind(index++, text);
  if (status.has_value()) stmt.Bind(index++, *status);
  for (;;) {
    const base::Statement::Result step = stmt.Next();
    if (step == base::Statement::Result::kDone) break;
    if (step == base::Statement::Result::kError) {
      out->clear();
      return SqlFailure(db_, stmt.rc());
    }
    HeldEntry e;
    e.row = stmt.Int64(0);
    e.host = stmt.Text(1);
    e.queue_id = stmt.Text(2);
    e.record_id = stmt.Int(3);
    e.sender = stmt.Text(4);
    e.recipients = SplitLines(stmt.Text(5));
    e.received_date = stmt.Text(6);
    e.received_time = stmt.Text(7);
    e.held_at_ms = stmt.Int64(8);
    e.status = stmt.Int(9);
    e.tries = stmt.Int(10);
    e.next_try_ms = stmt.Int64(11);
    e.last_error = stmt.Text(12);
    if (with_subject) e.subject = stmt.Text(13);
    out->push_back(std::move(e));
  }
  return base::Status::Ok();
}

base::Status HeldTable::WithStatus(int32_t status,
                                   std::vector<HeldEntry>* out) {
  base::MutexLock hold(&lock_);
  return ReadRows(std::string(kColumns) +
                      " FROM GatewayHeld h WHERE h.Status = ? ORDER BY h.Row;",
                  {}, status, false, out);
}

base::Status HeldTable::List(const std::vector<std::string>& days,
                             std::optional<int32_t> status,
                             std::vector<HeldEntry>* out) {
  base::MutexLock hold(&lock_);
  std::string sql = std::string(kColumns) +
                    ", m.Subject FROM GatewayHeld h LEFT JOIN Msg m ON "
                    "m.Id = h.MsgId WHERE 1";
  if (!days.empty()) {
    sql += " AND h.ReceivedDate IN (";
    for (size_t i = 0; i < days.size(); ++i) sql += i == 0 ? "?" : ", ?";
    sql += ")";
  }
  if (status.has_value()) sql += " AND h.Status = ?";
  sql += " ORDER BY h.HeldAt, h.Row;";
  return ReadRows(sql, days, status, true, out);
}

}  // namespace gateway
