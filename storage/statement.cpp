// The statement layer's own pieces: opening a database by its CE path, the
// transaction guard, the one-shot statement runner and apostrophe blanking.
#include "storage/statement.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "base/debug.h"
#include "device/codepage.h"
#include "device/files.h"
#include "device/image.h"
#include "device/threads.h"

namespace storage {

base::Status OpenCeDatabase(const char* ce_path, sqlite3** db) {
  *db = nullptr;
  std::string host;
  if (ce_path == nullptr ||
      !device::HostPath(device::AnsiToWide(ce_path), &host)) {
    return base::Status::FromSqlite(SQLITE_CANTOPEN, DbErrorText(nullptr));
  }
  // A new database is made private here; SQLite gives its journal,
  // write-ahead log and shared-memory files the database's own mode.
  int made = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  device::kPrivateFileMode);
  if (made >= 0) close(made);
  const int rc = sqlite3_open(host.c_str(), db);
  base::WaitWhileBusy(*db, kBusyTimeoutMs);
  if (rc == SQLITE_OK) return base::Status::Ok();
  // Any other code, SQLITE_ERROR too (a file name SQLite reads as a URI it
  // cannot follow), leaves a connection every statement fails on.
  return base::Status::FromSqlite(rc, DbErrorText(*db));
}

std::string WithTableName(const char* pattern, const std::string& table) {
  std::string sql = pattern != nullptr ? pattern : "";
  for (size_t at = sql.find("%s"); at != std::string::npos;
       at = sql.find("%s", at + table.size())) {
    sql.replace(at, 2, table);
  }
  return sql;
}

sqlite3* OpenCeDatabaseOrReport(const char* ce_path) {
  sqlite3* db = nullptr;
  if (!OpenCeDatabase(ce_path, &db).ok() || db == nullptr) {
    std::fprintf(stderr, "Can't open database: %s\n", DbErrorText(db));
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

Transaction::Transaction(sqlite3* db, const char* begin) : db_(db) {
  open_ = db_ != nullptr &&
          sqlite3_exec(db_, begin, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Transaction::~Transaction() {
  if (open_ && sqlite3_get_autocommit(db_) == 0)
    sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
}

bool Transaction::Commit() {
  if (!open_) return false;
  open_ = false;
  if (sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK)
    return true;
  if (sqlite3_get_autocommit(db_) == 0)
    sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
  return false;
}

const char* DbErrorText(sqlite3* db) {
  return db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(SQLITE_CANTOPEN);
}

}  // namespace storage

base::Status ExecOnce(const char* path, const char* sql) {
  base::Status status;
  sqlite3* db = nullptr;
  try {
    db = storage::OpenCeDatabaseOrReport(path);
    if (db == nullptr) {
      status = base::Status::IoError("the database cannot be opened");
    } else {
      char* message = nullptr;
      const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
      const std::string why = message != nullptr ? message : sqlite3_errmsg(db);
      if (rc == SQLITE_ERROR) {
        status = base::Status::InvalidArgument(why);
      } else if (rc != SQLITE_OK) {
        std::fprintf(stderr, "SQL error: %s\n", why.c_str());
        status = base::Status::FromSqlite(rc, why);
      }
      sqlite3_free(message);
    }
  } catch (...) {
    base::DebugCaught("ExecOnce");
    status = base::Status::IoError("ExecOnce: unexpected failure");
  }
  sqlite3_close(db);
  device::SleepMs(1);
  return status;
}

void BlankQuotes(char* text) {
  if (text == nullptr) return;
  for (char* p = text; *p != '\0'; ++p)
    if (*p == '\'') *p = ' ';
}

void BlankQuotes(std::string* text) {
  for (char& c : *text)
    if (c == '\'') c = ' ';
}

std::string BlankedCopy(const std::string& text) {
  std::string copy = text;
  BlankQuotes(&copy);
  return copy;
}
