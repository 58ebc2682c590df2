// The rules database: its one kept connection (set aside and made anew when
// the file is damaged), the rule writers the editor uses, and the listing the
// rule table in memory is loaded from.
#include "storage/rules_db.h"

#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>

#include "base/debug.h"
#include "base/mutex.h"
#include "device/codepage.h"
#include "device/image.h"
#include "storage/locations.h"
#include "storage/statement.h"
#include "text/tokens.h"

namespace storage {
namespace {

// The one rules connection and what belongs with it, under one plain lock.
// Every public operation takes it once and runs its ...Locked form; an
// operation made of others (AddRule, DeleteRule) calls their Locked forms.
struct RulesDb {
  base::Mutex mutex;
  sqlite3* db GUARDED_BY(mutex) = nullptr;
  bool open GUARDED_BY(mutex) = false;
  std::string table GUARDED_BY(mutex) = kRulesTableName;
  int32_t next_id GUARDED_BY(mutex) = 1;
  // The file the connection was opened on: one removed or replaced since is
  // opened afresh, or the rules would go into a file nobody reads again.
  std::string host GUARDED_BY(mutex);
  dev_t device GUARDED_BY(mutex) = 0;
  ino_t inode GUARDED_BY(mutex) = 0;
  std::function<void(const RulesFileSetAside&)> on_set_aside GUARDED_BY(mutex);
};

RulesDb& Db() {
  static RulesDb* db = new RulesDb;  // lives to the end of the process
  return *db;
}

}  // namespace

base::Status QueryRulesLocked(
    RulesDb& s, const std::string& sql,
    const std::function<bool(sqlite3_stmt*)>& row,
    const std::function<void(const base::Status&)>& done) REQUIRES(s.mutex);
void SetNextRuleIdLocked(RulesDb& s, int32_t id) REQUIRES(s.mutex);
int32_t NextRuleIdLocked(RulesDb& s) REQUIRES(s.mutex);
void SetRulesFileHandlerLocked(
    RulesDb& s, std::function<void(const RulesFileSetAside&)> handler)
    REQUIRES(s.mutex);
base::Status OpenRulesDbLocked(RulesDb& s) REQUIRES(s.mutex);
void CloseRulesDbLocked(RulesDb& s) REQUIRES(s.mutex);
base::Status ExecRulesLocked(RulesDb& s, const char* sql,
                             const std::vector<RuleValue>& values)
    REQUIRES(s.mutex);
int MaxRuleIdLocked(RulesDb& s) REQUIRES(s.mutex);
bool FindRuleLocked(RulesDb& s, const char* sender, const char* recipients,
                    const char* tokens, int* id) REQUIRES(s.mutex);
base::Status UpdateRuleLocked(RulesDb& s, int id, const char* sender,
                              const char* recipients, const char* message,
                              const char* tokens, float certainty)
    REQUIRES(s.mutex);
base::Status AddRuleLocked(RulesDb& s, const char* sender,
                           const char* recipients, const char* message,
                           float certainty) REQUIRES(s.mutex);
base::Status DeleteRuleLocked(RulesDb& s, const char* sender,
                              const char* recipients, const char* message)
    REQUIRES(s.mutex);
base::Status ListRulesLocked(
    RulesDb& s, const std::function<bool(const RuleRow&)>& row,
    const std::function<void(const base::Status&)>& done) REQUIRES(s.mutex);

namespace {

std::atomic<bool (*)()> g_table_full{nullptr};
std::atomic<bool (*)(const RulesLister&)> g_table_reload{nullptr};

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

int BindAll(Statement* stmt, const std::vector<RuleValue>& values) {
  if (stmt->ParameterCount() != static_cast<int>(values.size()))
    return SQLITE_ERROR;
  for (size_t i = 0; i < values.size(); ++i) {
    const int index = static_cast<int>(i + 1);
    if (const int32_t* number = std::get_if<int32_t>(&values[i])) {
      stmt->Bind(index, *number);
    } else {
      stmt->Bind(index, std::get<std::string_view>(values[i]));
    }
    if (stmt->failed()) return stmt->rc();
  }
  return SQLITE_OK;
}

// True when the text after the first statement holds another statement
// (anything but blanks, semicolons and comments).
bool HoldsMoreStatements(sqlite3* db, const char* tail) {
  while (tail != nullptr && *tail != '\0') {
    Statement next;
    const char* rest = nullptr;
    if (next.Prepare(db, tail, &rest) != SQLITE_OK) return true;
    if (next.ok()) return true;
    if (rest == tail) break;
    tail = rest;
  }
  return false;
}

// A text column; NULL reads as empty text.
std::string_view ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) return {};
  return std::string_view(reinterpret_cast<const char*>(text));
}

bool TableFull() {
  bool (*full)() = g_table_full.load();
  return full != nullptr && full();
}

// Reads the rule table in memory afresh from the database, inside the
// operation that holds the rules lock.
void ReloadTable(RulesDb& s) REQUIRES(s.mutex) {
  auto reload = g_table_reload.load();
  if (reload == nullptr) return;
  reload([&s](const std::function<bool(const RuleRow&)>& row,
              const std::function<void(const base::Status&)>& done)
             NO_THREAD_SAFETY_ANALYSIS {
               // Runs within ReloadTable's call, the lock still held.
               return ListRulesLocked(s, row, done);
             });
}

// The token text of a message as typed.
std::string TokensOf(const char* message) {
  return TokenTextOf(OrEmpty(message));
}

}  // namespace

int32_t CertaintyToInt(float certainty) {
  if (std::isnan(certainty)) return 0;
  const double truncated = std::trunc(static_cast<double>(certainty));
  if (truncated >= std::numeric_limits<int32_t>::max())
    return std::numeric_limits<int32_t>::max();
  if (truncated <= std::numeric_limits<int32_t>::min())
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(truncated);
}

void SetRuleTableHooks(const RuleTableHooks& hooks) {
  g_table_full.store(hooks.full);
  g_table_reload.store(hooks.reload);
}

base::Status QueryRulesLocked(
    RulesDb& s, const std::string& sql,
    const std::function<bool(sqlite3_stmt*)>& row,
    const std::function<void(const base::Status&)>& done) {
  base::Status result = OpenRulesDbLocked(s);
  if (result.ok()) {
    Statement stmt;
    const int rc = stmt.Prepare(s.db, sql);
    if (rc != SQLITE_OK || !stmt.ok()) {
      result = rc != SQLITE_OK
                   ? base::Status::FromSqlite(rc, sqlite3_errmsg(s.db))
                   : base::Status::InvalidArgument("no statement");
      CloseRulesDbLocked(s);
    } else {
      while (stmt.Step()) {
        if (!row(stmt.get())) break;
      }
      if (stmt.failed()) {
        // Cut short (the table went away, a lock was not granted): what was
        // read is not the whole table.
        base::DebugOut("Reading the rules failed: %s\n", sqlite3_errmsg(s.db));
        result = base::Status::FromSqlite(stmt.rc(), sqlite3_errmsg(s.db));
        stmt.Finalize();
        CloseRulesDbLocked(s);
      }
    }
  }
  if (done) done(result);
  return result;
}

base::Status QueryRules(const std::string& sql,
                        const std::function<bool(sqlite3_stmt*)>& row,
                        const std::function<void(const base::Status&)>& done) {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return QueryRulesLocked(s, sql, row, done);
}

base::Status ListRulesLocked(
    RulesDb& s, const std::function<bool(const RuleRow&)>& row,
    const std::function<void(const base::Status&)>& done) {
  std::string path, table;
  GetRulesDbPath(&path, &table);
  return QueryRulesLocked(
      s, WithTableName(kListRulesSql, table),
      [&row](sqlite3_stmt* stmt) {
        if (sqlite3_data_count(stmt) != 6) return true;
        RuleRow rule;
        rule.id = sqlite3_column_int(stmt, 0);
        rule.sender = ColumnText(stmt, 1);
        rule.recipients = ColumnText(stmt, 2);
        rule.message = ColumnText(stmt, 3);
        rule.tokens = ColumnText(stmt, 4);
        rule.certainty = sqlite3_column_int(stmt, 5);
        return row(rule);
      },
      done);
}

base::Status ListRules(const std::function<bool(const RuleRow&)>& row,
                       const std::function<void(const base::Status&)>& done) {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return ListRulesLocked(s, row, done);
}

}  // namespace storage

using storage::Db;
using storage::RulesDb;
using storage::RuleValue;

void storage::SetNextRuleIdLocked(RulesDb& s, int32_t id) { s.next_id = id; }

void SetNextRuleId(int32_t id) {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  storage::SetNextRuleIdLocked(s, id);
}

int32_t storage::NextRuleIdLocked(RulesDb& s) { return s.next_id; }

int32_t NextRuleId() {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return storage::NextRuleIdLocked(s);
}

void CreateRulesTable() {
  try {
    std::string path, table;
    GetRulesDbPath(&path, &table);
    // A table that exists already makes the CREATE fail, harmlessly.
    base::IgnoreFailure(
        ExecOnce(
            path.c_str(),
            storage::WithTableName(storage::kCreateRulesSql, table).c_str()),
        "Creating the rules table");
  } catch (...) {
    base::DebugCaught("CreateRulesTable");
  }
}

namespace storage {
namespace {

bool SameRulesFile(const RulesDb& s) REQUIRES(s.mutex) {
  struct stat st;
  return !s.host.empty() && stat(s.host.c_str(), &st) == 0 &&
         st.st_dev == s.device && st.st_ino == s.inode;
}

// SQLite's verdict that the file is no (whole) database.
bool Damaged(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// Whether the open connection's file can be used as the rules database. A
// file that is locked or cannot be read now is not damaged: only SQLite's
// "not a database" and "malformed", and a check that finds faults, count.
// The rules file is small; the check reads it once per opening.
bool FileDamaged(sqlite3* db) {
  Statement stmt;
  int rc = stmt.Prepare(db, "PRAGMA quick_check;");
  if (rc != SQLITE_OK) return Damaged(rc);
  if (!stmt.Step()) return Damaged(stmt.rc());
  return stmt.Text(0) != "ok";
}

// Makes the rules table when the file has none (a file made anew after the
// old one was removed, or one whose table could not be made at start).
void EnsureRulesTable(RulesDb& s) REQUIRES(s.mutex) {
  Statement find;
  if (find.Prepare(s.db,
                   "SELECT 1 FROM sqlite_master WHERE type = 'table' AND "
                   "name = ?;") != SQLITE_OK) {
    return;
  }
  find.Bind(1, s.table);
  if (find.Step() || find.failed()) return;
  find.Finalize();
  Statement create;
  if (create.Prepare(s.db, WithTableName(kCreateRulesSql, s.table)) ==
      SQLITE_OK) {
    create.Exec();
  }
}

// Moves a damaged rules file (and its journal) out of the way under a name
// of its own, never deleting it. False when it could not be moved.
bool SetAside(RulesDb& s, RulesFileSetAside* what) REQUIRES(s.mutex) {
  const std::string host = s.host;
  CloseRulesDbLocked(s);
  if (host.empty()) return false;
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string aside;
  for (int n = 0; n < 1000; ++n) {
    aside =
        host + ".damaged-" + stamp + (n == 0 ? "" : "-" + std::to_string(n));
    struct stat st;
    if (stat(aside.c_str(), &st) != 0) break;
  }
  if (std::rename(host.c_str(), aside.c_str()) != 0) return false;
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    const std::string side = host + suffix;
    struct stat st;
    if (stat(side.c_str(), &st) == 0)
      std::rename(side.c_str(), (aside + suffix).c_str());
  }
  what->path = host;
  what->set_aside_as = aside;
  return true;
}

// Opens the file at the rules path; a damaged one is set aside first, once.
bool OpenUsable(RulesDb& s, std::function<void()>* tell) REQUIRES(s.mutex) {
  std::string path, table;
  GetRulesDbPath(&path, &table);
  for (int attempt = 0; attempt < 2; ++attempt) {
    sqlite3* db = OpenCeDatabaseOrReport(path.c_str());
    if (db == nullptr) return false;
    s.db = db;
    s.table = table;
    s.open = true;
    s.host.clear();
    device::HostPath(device::AnsiToWide(path), &s.host);
    struct stat st;
    if (!s.host.empty() && stat(s.host.c_str(), &st) == 0) {
      s.device = st.st_dev;
      s.inode = st.st_ino;
    }
    if (!FileDamaged(db)) {
      EnsureRulesTable(s);
      return true;
    }
    RulesFileSetAside what;
    if (attempt > 0 || !SetAside(s, &what)) {
      std::fprintf(stderr, "The rules file %s cannot be used\n",
                   s.host.c_str());
      CloseRulesDbLocked(s);
      return false;
    }
    std::fprintf(stderr,
                 "The rules file %s could not be used; it was set aside as %s "
                 "and a new one made\n",
                 what.path.c_str(), what.set_aside_as.c_str());
    if (s.on_set_aside && tell != nullptr) {
      auto handler = s.on_set_aside;
      *tell = [handler, what] { handler(what); };
    }
  }
  return false;
}

}  // namespace

void SetRulesFileHandlerLocked(
    RulesDb& s, std::function<void(const RulesFileSetAside&)> handler) {
  s.on_set_aside = std::move(handler);
}

void SetRulesFileHandler(
    std::function<void(const RulesFileSetAside&)> handler) {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  SetRulesFileHandlerLocked(s, handler);
}

}  // namespace storage

base::Status storage::OpenRulesDbLocked(RulesDb& s) {
  if (s.open && storage::SameRulesFile(s)) return base::Status::Ok();
  if (s.open)
    CloseRulesDbLocked(s);  // removed or replaced: the path's file now
  std::function<void()> tell;
  bool ok = false;
  try {
    ok = storage::OpenUsable(s, &tell);
  } catch (...) {
    base::DebugCaught("OpenRulesDb");
    CloseRulesDbLocked(s);
    ok = false;
  }
  if (tell) tell();
  if (!ok) return base::Status::IoError("the rules database cannot be opened");
  return base::Status::Ok();
}

base::Status OpenRulesDb() {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return storage::OpenRulesDbLocked(s);
}

void storage::CloseRulesDbLocked(RulesDb& s) {
  sqlite3_close(s.db);
  s.db = nullptr;
  s.open = false;
  s.host.clear();
}

void CloseRulesDb() {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  storage::CloseRulesDbLocked(s);
}

base::Status storage::ExecRulesLocked(RulesDb& s, const char* sql,
                                      const std::vector<RuleValue>& values) {
  try {
    base::Status open = OpenRulesDbLocked(s);
    if (!open.ok()) return open;
    storage::Statement stmt;
    const char* tail = nullptr;
    int rc = stmt.Prepare(s.db, storage::OrEmpty(sql), &tail);
    if (rc == SQLITE_OK && stmt.ok()) {
      // One statement per call: a text that carries a second one is refused
      // before anything of it runs.
      if (storage::HoldsMoreStatements(s.db, tail)) {
        return base::Status::InvalidArgument(
            "more than one statement in one call");
      }
      rc = storage::BindAll(&stmt, values);
      if (rc == SQLITE_OK) {
        rc = stmt.Exec();
        if (rc == SQLITE_DONE) rc = SQLITE_OK;
      }
    }
    if (rc == SQLITE_OK) return base::Status::Ok();
    // SQLite's text first: closing the connection would lose it.
    const std::string why = sqlite3_errmsg(s.db);
    if (rc == SQLITE_ERROR) return base::Status::InvalidArgument(why);
    std::fprintf(stderr, "SQL error: %s\n", why.c_str());
    stmt.Finalize();  // a connection with a live statement does not close
    CloseRulesDbLocked(s);
    return base::Status::FromSqlite(rc, why);
  } catch (...) {
    base::DebugCaught("ExecRules");
    return base::Status::IoError("ExecRules: unexpected failure");
  }
}

base::Status ExecRules(const char* sql, const std::vector<RuleValue>& values) {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return storage::ExecRulesLocked(s, sql, values);
}

int storage::MaxRuleIdLocked(RulesDb& s) {
  try {
    if (!OpenRulesDbLocked(s).ok()) return -1;
    storage::Statement stmt;
    const int rc = stmt.Prepare(
        s.db, storage::WithTableName(storage::kMaxRuleIdSql, s.table));
    if (rc != SQLITE_OK) {
      if (rc != SQLITE_MISUSE) CloseRulesDbLocked(s);
      return -1;
    }
    if (stmt.Step() && stmt.Columns() == 1)
      return stmt.Int(0);  // NULL (empty table) is 0
    return -1;
  } catch (...) {
    base::DebugCaught("MaxRuleId");
    return -1;
  }
}

int MaxRuleId() {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return storage::MaxRuleIdLocked(s);
}

bool storage::FindRuleLocked(RulesDb& s, const char* sender,
                             const char* recipients, const char* tokens,
                             int* id) {
  try {
    if (!OpenRulesDbLocked(s).ok()) return false;
    const std::string sender_b = BlankedCopy(storage::OrEmpty(sender));
    const std::string recipients_b = BlankedCopy(storage::OrEmpty(recipients));
    const std::string tokens_b = BlankedCopy(storage::OrEmpty(tokens));
    storage::Statement stmt;
    if (stmt.Prepare(s.db, storage::WithTableName(storage::kFindRuleSql,
                                                  s.table)) != SQLITE_OK) {
      CloseRulesDbLocked(s);
      return false;
    }
    if (storage::BindAll(&stmt, {sender_b, recipients_b, tokens_b}) !=
        SQLITE_OK) {
      return false;
    }
    if (stmt.Step() && stmt.Columns() == 1) {
      if (id != nullptr) *id = stmt.Int(0);
      return true;
    }
    return false;
  } catch (...) {
    base::DebugCaught("FindRule");
    return false;
  }
}

bool FindRule(const char* sender, const char* recipients, const char* tokens,
              int* id) {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return storage::FindRuleLocked(s, sender, recipients, tokens, id);
}

base::Status storage::UpdateRuleLocked(RulesDb& s, int id, const char* sender,
                                       const char* recipients,
                                       const char* message, const char* tokens,
                                       float certainty) {
  try {
    base::Status open = OpenRulesDbLocked(s);
    if (!open.ok()) return open;
    const std::string sender_b = BlankedCopy(storage::OrEmpty(sender));
    const std::string recipients_b = BlankedCopy(storage::OrEmpty(recipients));
    const std::string message_b = BlankedCopy(storage::OrEmpty(message));
    const std::string tokens_b = BlankedCopy(storage::OrEmpty(tokens));
    const std::string sql =
        storage::WithTableName(storage::kUpdateRuleSql, s.table);
    return ExecRulesLocked(
        s, sql.c_str(),
        {sender_b, recipients_b, message_b, tokens_b,
         storage::CertaintyToInt(certainty), static_cast<int32_t>(id)});
  } catch (...) {
    base::DebugCaught("UpdateRule");
    return base::Status::IoError("UpdateRule: unexpected failure");
  }
}

base::Status UpdateRule(int id, const char* sender, const char* recipients,
                        const char* message, const char* tokens,
                        float certainty) {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return storage::UpdateRuleLocked(s, id, sender, recipients, message, tokens,
                                   certainty);
}

base::Status storage::AddRuleLocked(RulesDb& s, const char* sender,
                                    const char* recipients, const char* message,
                                    float certainty) {
  try {
    const std::string sender_b = BlankedCopy(storage::OrEmpty(sender));
    const std::string recipients_b = BlankedCopy(storage::OrEmpty(recipients));
    const std::string message_b = BlankedCopy(storage::OrEmpty(message));
    // Taken from the text as typed: the tokenizer splits at apostrophes, so
    // the token text never holds one.
    const std::string tokens = storage::TokensOf(message);

    int found_id = 0;
    if (FindRuleLocked(s, sender_b.c_str(), recipients_b.c_str(),
                       tokens.c_str(), &found_id)) {
      return UpdateRuleLocked(s, found_id, sender_b.c_str(),
                              recipients_b.c_str(), message_b.c_str(),
                              tokens.c_str(), certainty);
    }
    // A failed query gives -1, so the new rule then gets Id 0.
    SetNextRuleIdLocked(s, MaxRuleIdLocked(s) + 1);
    if (storage::TableFull())
      return base::Status::ResourceExhausted("the rule table is full");
    base::Status open = OpenRulesDbLocked(s);
    if (!open.ok()) return open;
    const std::string sql =
        storage::WithTableName(storage::kInsertRuleSql, s.table);
    return ExecRulesLocked(s, sql.c_str(),
                           {s.next_id, sender_b, recipients_b, message_b,
                            tokens, storage::CertaintyToInt(certainty)});
  } catch (...) {
    base::DebugCaught("AddRule");
    return base::Status::IoError("AddRule: unexpected failure");
  }
}

base::Status AddRule(const char* sender, const char* recipients,
                     const char* message, float certainty) {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return storage::AddRuleLocked(s, sender, recipients, message, certainty);
}

base::Status storage::DeleteRuleLocked(RulesDb& s, const char* sender,
                                       const char* recipients,
                                       const char* message) {
  try {
    // Blanked as AddRule stores them, so a typed O'Neil finds the stored
    // O Neil, and no typed text can reach the statement's syntax.
    const std::string sender_b = BlankedCopy(storage::OrEmpty(sender));
    const std::string recipients_b = BlankedCopy(storage::OrEmpty(recipients));
    const std::string message_b = BlankedCopy(storage::OrEmpty(message));
    base::Status status = OpenRulesDbLocked(s);
    if (status.ok()) {
      const std::string sql =
          storage::WithTableName(storage::kDeleteRuleSql, s.table);
      status =
          ExecRulesLocked(s, sql.c_str(), {sender_b, recipients_b, message_b});
    }
    // The table in memory is read again from the database, still under the
    // rules lock, so that it holds exactly the rows that are left: a rule the
    // statement removed stops allowing at once, and one it did not remove
    // (the texts named no row, or the statement failed) is not dropped from
    // memory while the database keeps it. A failed reload leaves the table
    // empty, and an empty table holds every message until it loads.
    storage::ReloadTable(s);
    return status;
  } catch (...) {
    base::DebugCaught("DeleteRule");
    return base::Status::IoError("DeleteRule: unexpected failure");
  }
}

base::Status DeleteRule(const char* sender, const char* recipients,
                        const char* message) {
  RulesDb& s = Db();
  base::MutexLock lock(&s.mutex);
  return storage::DeleteRuleLocked(s, sender, recipients, message);
}
