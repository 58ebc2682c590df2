// The records of judged messages: the store databases' Msg tables (one file
// per message store) and the summary table, their creation at start-up, and
// the look-ups and writes the watch and the browser make on them.
#include "storage/records.h"

#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/debug.h"
#include "device/codepage.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/statement.h"
#include "text/md4.h"

namespace records {

using storage::StoreConnection;

namespace {

constexpr char kMaxMsgIdSql[] = "SELECT MAX(Id) as MaxOfId FROM Msg;";
constexpr char kMaxSummaryIdSql[] = "SELECT MAX(Id) as MaxOfId FROM %s;";
constexpr char kExistsSql[] =
    "SELECT Id, Status, Tokens FROM Msg WHERE Hash = ?;";
constexpr char kInsertSql[] =
    "INSERT INTO Msg (Id, Sender, Recipients, Subject, OrgMessage, Message, "
    "Tokens, ReceivedDate, ReceivedTime, Status, Hash) VALUES (?, ?, ?, ?, ?, "
    "?, ?, ?, ?, ?, ?);";
constexpr char kRecordStatusSql[] =
    "SELECT Status, Hash FROM Msg WHERE Id = ?;";
// Status and digest lie after the message texts in a row, so reading them
// from the table walks every overflow page of a long message (a walk of
// 1000 held messages of 64 KiB read some 200 MB). The covering index
// answers from its own pages; the planner would take the unique index on Id
// instead, so the statement names it.
constexpr char kRecordStatusIndexedSql[] =
    "SELECT Status, Hash FROM Msg INDEXED BY MsgIdStatusHash WHERE Id = ?;";
constexpr char kUpdateSql[] = "UPDATE Msg SET Status = ? WHERE Id = ?;";
// The message text shown under the subject is the lowered body.
constexpr char kViewSql[] =
    "SELECT OrgMessage, Subject, Message FROM Msg WHERE Id = ?;";

// Tests only: runs before each record read of StatusesOf (may throw).
std::function<void()> g_record_read_fault;

std::string OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The record-status lookup through the covering index; a file without the
// index (a peer's, or one put in place while open) is read the plain way.
int PrepareRecordStatus(sqlite3* db, storage::Statement* stmt) {
  if (stmt->Prepare(db, kRecordStatusIndexedSql) == SQLITE_OK) return SQLITE_OK;
  return stmt->Prepare(db, kRecordStatusSql);
}

// Runs one writing statement on a store's database with the values `bind`
// gives it. What fails is said on stderr as the record writers always did:
// "Can't open database" or "DB Error" with SQLite's text.
template <typename Binder>
base::Status ExecOnStore(const char* store_name, const char* sql, Binder bind) {
  StoreConnection connection(store_name);
  if (!connection.ok()) {
    std::fprintf(stderr, "Can't open database: %s\n", connection.error());
    return connection.status();
  }
  storage::Statement stmt;
  int rc = stmt.Prepare(connection.db(), sql);
  if (rc == SQLITE_OK) {
    bind(stmt);
    rc = stmt.Exec();
  }
  if (rc != SQLITE_DONE) {
    std::fprintf(stderr, "DB Error: %s\n", connection.error());
    return base::Status::FromSqlite(rc, connection.error());
  }
  return base::Status::Ok();
}

// The status of a caught exception, written to the debug output too.
base::Status CaughtStatus(const char* where) {
  base::DebugCaught(where);
  return base::Status::IoError(std::string(where) + ": unexpected failure");
}

std::string Digest(const std::string& body, const std::string& sender,
                   const std::string& recipients, const std::string& subject) {
  return HashTextOf(body + " " + sender + " " + recipients + " " + subject);
}

}  // namespace

// --- summary database -------------------------------------------------------

void CreateSummaryTable(storage::CardAnswer answer) {
  std::string path, table;
  if (!GetMessageDbPath(&path, &table)) ChooseNewDbPath(answer, &path, &table);
  // A table that exists already makes the CREATE fail, harmlessly.
  base::IgnoreFailure(
      ExecOnce(path.c_str(),
               storage::WithTableName(kCreateSummaryTableSql, table).c_str()),
      "Creating the summary table");
  base::IgnoreFailure(
      ExecOnce(path.c_str(),
               storage::WithTableName(kCreateSummaryIndexSql, table).c_str()),
      "Creating the summary index");
}

int MaxSummaryId() {
  try {
    int max_id = -1;
    storage::WithSummaryDb([&](sqlite3* db, const std::string& table) {
      storage::Statement stmt;
      const int rc =
          stmt.Prepare(db, storage::WithTableName(kMaxSummaryIdSql, table));
      if (rc != SQLITE_OK) return rc == SQLITE_MISUSE;
      if (stmt.Step() && stmt.Columns() == 1) max_id = stmt.Int(0);
      return true;
    });
    return max_id;
  } catch (...) {
    base::DebugCaught("MaxSummaryId");
    return -1;
  }
}

// --- store databases --------------------------------------------------------

void CreateStoreTable(const char* path) {
  // A table that exists already makes the CREATE fail, harmlessly; whether
  // the store can be used is EnsureStore's to say.
  base::IgnoreFailure(ExecOnce(path, kCreateStoreTableSql),
                      "Creating a store table");
  base::IgnoreFailure(ExecOnce(path, kCreateStoreIndexesSql),
                      "Creating a store's indexes");
}

int PrepareStore(const char* store_name) {
  CreateStoreTable(StoreDbPath(OrEmpty(store_name).c_str()).c_str());
  return MaxStoreId(store_name);
}

base::Status EnsureStore(const char* store_name) {
  try {
    CreateStoreTable(StoreDbPath(OrEmpty(store_name).c_str()).c_str());
    StoreConnection connection(store_name);
    if (!connection.ok()) return connection.status();
    storage::Statement stmt;
    const int rc = stmt.Prepare(connection.db(), kMaxMsgIdSql);
    if (rc != SQLITE_OK)
      return base::Status::FromSqlite(rc, connection.error());
    if (!stmt.Step())
      return base::Status::FromSqlite(stmt.rc(), connection.error());
    return base::Status::Ok();
  } catch (...) {
    return CaughtStatus("EnsureStore");
  }
}

int MaxStoreId(const char* store_name) {
  try {
    StoreConnection connection(store_name);
    if (!connection.ok()) {
      std::fprintf(stderr, "Can't open database: %s\n", connection.error());
      return 0;
    }
    storage::Statement stmt;
    if (stmt.Prepare(connection.db(), kMaxMsgIdSql) != SQLITE_OK) return -1;
    if (stmt.Step() && stmt.Columns() == 1) {
      return stmt.Int(0);
    }
    return -1;
  } catch (...) {
    base::DebugCaught("MaxStoreId");
    return -1;
  }
}

namespace {

// The record of a digest in a store's database: "SELECT Id, Status, Tokens".
// False when there is none or it could not be read; `body` (when given) is
// the message text the failure report names.
bool LookUpDigest(const char* store_name, const std::string& digest,
                  const char* body, bool* found, int32_t* id, int32_t* status,
                  std::string* tokens) {
  *found = false;
  StoreConnection connection(store_name);
  if (!connection.ok()) return false;
  storage::Statement stmt;
  if (stmt.Prepare(connection.db(), kExistsSql) != SQLITE_OK) {
    if (body != nullptr) {
      // The message's own text is private: it goes to the debug output
      // only, never to a stream anyone may log.
      base::DebugOut("%s\n", body);
      std::printf("Can't open database: %s\n", connection.error());
    }
    return false;
  }
  stmt.Bind(1, digest);
  if (stmt.Step() && stmt.Columns() == 3) {
    *found = true;
    if (id != nullptr) *id = stmt.Int(0);
    if (status != nullptr) *status = stmt.Int(1);
    if (tokens != nullptr) *tokens = stmt.Text(2);
  } else if (stmt.failed()) {
    base::DebugOut("Record lookup in %s failed: %s\n",
                   OrEmpty(store_name).c_str(), connection.error());
  }
  return *found;
}

}  // namespace

bool FindMessage(const char* store_name, const char* body, const char* sender,
                 const char* recipients, const char* subject, bool* found,
                 int32_t* id, int32_t* status, std::string* tokens) {
  *found = false;
  try {
    const std::string digest = DigestOf(body, sender, recipients, subject);
    return LookUpDigest(store_name, digest, OrEmpty(body).c_str(), found, id,
                        status, tokens);
  } catch (...) {
    base::DebugCaught("FindMessage");
    *found = false;
    return false;
  }
}

std::string DigestOf(const char* body, const char* sender,
                     const char* recipients, const char* subject) {
  return Digest(OrEmpty(body), OrEmpty(sender), OrEmpty(recipients),
                OrEmpty(subject));
}

bool FindByDigest(const char* store_name, const std::string& digest,
                  bool* found, int32_t* id, int32_t* status) {
  *found = false;
  try {
    return LookUpDigest(store_name, digest, nullptr, found, id, status,
                        nullptr);
  } catch (...) {
    base::DebugCaught("FindByDigest");
    *found = false;
    return false;
  }
}

bool StatusOf(const char* store_name, int32_t id, int32_t* status,
              std::string* digest) {
  try {
    StoreConnection connection(store_name);
    if (!connection.ok()) return false;
    storage::Statement stmt;
    if (PrepareRecordStatus(connection.db(), &stmt) != SQLITE_OK) return false;
    stmt.Bind(1, id);
    if (!stmt.Step()) return false;
    if (status != nullptr) *status = stmt.Int(0);
    if (digest != nullptr) *digest = stmt.Text(1);
    return true;
  } catch (...) {
    base::DebugCaught("StatusOf");
    return false;
  }
}

void SetReadFaultForTesting(std::function<void()> fault) {
  g_record_read_fault = std::move(fault);
}

bool StatusesOf(const char* store_name, const std::vector<int32_t>& ids,
                std::map<int32_t, std::pair<int32_t, std::string>>* records) {
  records->clear();
  try {
    StoreConnection connection(store_name);
    if (!connection.ok()) return false;
    storage::Statement stmt;
    if (PrepareRecordStatus(connection.db(), &stmt) != SQLITE_OK) return false;
    // One read transaction for all of them, ended however this is left.
    storage::Transaction read(connection.db());
    if (!read.ok()) return false;
    bool ok = true;
    for (int32_t id : ids) {
      if (g_record_read_fault) g_record_read_fault();
      stmt.Bind(1, id);
      const storage::Statement::Result step = stmt.Next();
      if (step == storage::Statement::Result::kRow) {
        (*records)[id] = {stmt.Int(0), stmt.Text(1)};
      } else if (step == storage::Statement::Result::kError) {
        ok = false;
      }
      stmt.Reset();
      if (!ok) break;
    }
    stmt.Finalize();
    read.Commit();
    if (!ok) records->clear();
    return ok;
  } catch (...) {
    base::DebugCaught("StatusesOf");
    records->clear();
    return false;
  }
}

base::Status Add(const char* store_name, const char* sender,
                 const char* recipients, const char* subject, const char* body,
                 const char* lowered_body, const char* tokens, int32_t status,
                 const char* date_text, const char* time_text, int32_t* id) {
  *id = -1;
  try {
    bool found = false;
    int32_t found_id = -1;
    FindMessage(store_name, body, sender, recipients, subject, &found,
                &found_id, nullptr, nullptr);
    if (found) {
      *id = found_id;
      return base::Status::Ok();
    }
    const std::string digest = DigestOf(body, sender, recipients, subject);
    std::string body_b = BlankedCopy(OrEmpty(body));
    std::string sender_b = BlankedCopy(OrEmpty(sender));
    std::string subject_b = BlankedCopy(OrEmpty(subject));
    subject_b.resize(device::CharacterCut(subject_b, kSubjectCopySize - 1));
    std::string recipients_b = BlankedCopy(OrEmpty(recipients));

    int32_t next = MaxStoreId(store_name) + 1;
    std::string lowered_b = BlankedCopy(OrEmpty(lowered_body));
    std::string tokens_b = BlankedCopy(OrEmpty(tokens));
    *id = next;
    return ExecOnStore(store_name, kInsertSql, [&](storage::Statement& stmt) {
      stmt.Bind(1, next);
      stmt.Bind(2, sender_b);
      stmt.Bind(3, recipients_b);
      stmt.Bind(4, subject_b);
      stmt.Bind(5, body_b);
      stmt.Bind(6, lowered_b);
      stmt.Bind(7, tokens_b);
      stmt.Bind(8, OrEmpty(date_text));
      stmt.Bind(9, OrEmpty(time_text));
      stmt.Bind(10, status);
      stmt.Bind(11, digest);
    });
  } catch (...) {
    return CaughtStatus("Add");
  }
}

base::Status SetStatus(const char* store_name, int32_t id, int32_t status) {
  try {
    return ExecOnStore(store_name, kUpdateSql, [&](storage::Statement& stmt) {
      stmt.Bind(1, status);
      stmt.Bind(2, id);
    });
  } catch (...) {
    return CaughtStatus("SetStatus");
  }
}

bool LoadForView(const char* store_name, int32_t id, std::string* org_message,
                 std::string* subject, std::string* message_text) {
  try {
    StoreConnection connection(store_name);
    if (!connection.ok()) return false;
    storage::Statement stmt;
    if (stmt.Prepare(connection.db(), kViewSql) != SQLITE_OK) {
      std::printf("Can't open database: %s\n", connection.error());
      return false;
    }
    stmt.Bind(1, id);
    if (stmt.Step() && stmt.Columns() == 3) {
      if (org_message != nullptr) *org_message = stmt.Text(0);
      if (subject != nullptr) *subject = stmt.Text(1);
      if (message_text != nullptr) *message_text = stmt.Text(2);
      return true;
    }
    return false;
  } catch (...) {
    base::DebugCaught("LoadForView");
    return false;
  }
}

}  // namespace records
