#include "storage/statement.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "device/codepage.h"
#include "device/debug.h"
#include "device/files.h"
#include "device/image.h"
#include "device/threads.h"

namespace storage {

int OpenCeDatabase(const char* ce_path, sqlite3** db) {
  *db = nullptr;
  std::string host;
  if (ce_path == nullptr ||
      !device::HostPath(device::AnsiToWide(ce_path), &host)) {
    return SQLITE_CANTOPEN;
  }
  // A new database is made private here; SQLite gives its journal,
  // write-ahead log and shared-memory files the database's own mode.
  int made = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  device::kPrivateFileMode);
  if (made >= 0) close(made);
  int rc = sqlite3_open(host.c_str(), db);
  device::WaitWhileBusy(*db, kBusyTimeoutMs);
  return rc;
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
  const int rc = OpenCeDatabase(ce_path, &db);
  if (db == nullptr || !OpenSucceeded(rc)) {
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

int ExecOnce(const char* path, const char* sql) {
  int rc = SQLITE_ERROR;
  sqlite3* db = nullptr;
  try {
    db = storage::OpenCeDatabaseOrReport(path);
    if (db == nullptr) {
      rc = SQLITE_ERROR;
    } else {
      char* message = nullptr;
      rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
      if (rc != SQLITE_OK && rc != SQLITE_ERROR) {
        std::fprintf(stderr, "SQL error: %s\n",
                     message != nullptr ? message : sqlite3_errmsg(db));
      }
      sqlite3_free(message);
    }
  } catch (...) {
    device::DebugCaught("ExecOnce");
    rc = SQLITE_ERROR;
  }
  sqlite3_close(db);
  device::SleepMs(1);
  return rc;
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
