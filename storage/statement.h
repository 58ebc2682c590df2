// The thin layer every database module runs its SQL through: opening a
// database named by a CE path on the device image, the one-shot statement
// runner, and the blanking of apostrophes in stored texts.
//
// Statements are prepared with bound parameters; stored texts are still
// blanked as the program always did, so that rows written either way are
// found either way.
#ifndef TARNVEX_STORAGE_STATEMENT_H_
#define TARNVEX_STORAGE_STATEMENT_H_

#include <sqlite3.h>

#include <string>

#include "base/sql_statement.h"
#include "base/status.h"

namespace storage {

// The one statement wrapper (base/sql_statement.h).
using Statement = base::Statement;

// A statement pattern with the table name in place of each "%s" (the
// summary and rules tables are named at run time).
std::string WithTableName(const char* pattern, const std::string& table);

// How long a connection waits for a lock held by another thread or process.
inline constexpr int kBusyTimeoutMs = 5000;

// Opens (creating when missing) the database at a narrow CE path (code page
// 1252). Not ok, with SQLite's reason, when the open failed in any way; *db
// may be null when the path cannot be mapped onto the image. Close with
// sqlite3_close even on failure.
base::Status OpenCeDatabase(const char* ce_path, sqlite3** db);

// OpenCeDatabase for a connection to keep: on failure writes "Can't open
// database: %s\n" with SQLite's text to stderr, closes what was opened and
// returns null.
sqlite3* OpenCeDatabaseOrReport(const char* ce_path);

// SQLite's error text of a connection, also for a connection that could not
// be made.
const char* DbErrorText(sqlite3* db);

// A transaction on a connection that ends however its scope is left: kept by
// Commit(), rolled back otherwise (an early return, an exception), so that a
// kept connection is never left inside it, where every later write on it
// would join a transaction that nobody commits.
class Transaction {
 public:
  explicit Transaction(sqlite3* db, const char* begin = "BEGIN;");
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  // The transaction began.
  bool ok() const { return open_; }
  // True when it was committed; a failed commit is rolled back.
  bool Commit();

 private:
  sqlite3* db_;
  bool open_ = false;
};

}  // namespace storage

// Runs one statement on a connection of its own, then pauses 1 ms. Not ok
// when it failed: invalid argument (not reported) when SQLite refused the
// statement (a syntax error, a table that exists or does not), otherwise the
// kind of failure, after "Can't open database: %s\n" or "SQL error: %s\n" on
// stderr.
base::Status ExecOnce(const char* path, const char* sql);

// Replaces every apostrophe by a blank, in place; the length stays.
void BlankQuotes(char* text);
void BlankQuotes(std::string* text);
std::string BlankedCopy(const std::string& text);

#endif  // TARNVEX_STORAGE_STATEMENT_H_
