// One prepared SQLite statement that finalizes itself: the single statement
// wrapper of the program and of the message service. It lives in device/,
// the lowest layer, so that storage/ and device/service/ share it.
//
// Statements take their values through bound parameters only. Step() tells a
// row from the end from an error: a loop `while (s.Step())` that ended is
// known to have seen every row only when failed() is false afterwards.
#ifndef TARNVEX_BASE_SQL_STATEMENT_H_
#define TARNVEX_BASE_SQL_STATEMENT_H_

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace base {

class StatementCache;

class Statement {
 public:
  // What one step found.
  enum class Result { kRow, kDone, kError };

  Statement() = default;
  // Prepares `sql` on `db` (a null connection gives a failed statement).
  Statement(sqlite3* db, std::string_view sql);
  // The same, taken from `cache` when it holds one of that text for `db`,
  // and given back to it (reset, its bindings cleared) instead of finalized.
  Statement(StatementCache* cache, sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;

  // Prepares the first statement of `sql`, finalizing any earlier one;
  // SQLite's result code. *tail (when given) is where the text after the
  // first statement begins. Text holding only blanks or comments prepares
  // to no statement: ok() is then false.
  int Prepare(sqlite3* db, std::string_view sql, const char** tail = nullptr);

  bool ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }
  // SQLite's result code of the last prepare, bind or step.
  int rc() const { return rc_; }
  // True when the statement did not prepare, a value did not bind or a step
  // failed.
  bool failed() const { return stmt_ == nullptr || failed_; }

  // Parameters are numbered from 1. An empty text binds '' (never NULL).
  // Any integer binds as a 64-bit one.
  template <typename Integer>
  requires std::is_integral_v<Integer> Statement& Bind(int index,
                                                       Integer value) {
    return BindInt64(index, static_cast<int64_t>(value));
  }
  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, const char* text) {
    return Bind(index, std::string_view(text != nullptr ? text : ""));
  }
  Statement& Bind(int index, const std::string& text) {
    return Bind(index, std::string_view(text));
  }
  // Bytes as a blob (an empty one is a zero-length blob, never NULL).
  Statement& BindBlob(int index, std::string_view bytes);
  int ParameterCount() const;

  // One step. A statement that failed to prepare or bind does not run.
  Result Next();
  bool Step() { return Next() == Result::kRow; }
  // Runs to the end: SQLITE_DONE on success, else the failing result code.
  int Exec();
  // Makes the statement ready to run again; bindings stay.
  void Reset();
  void Finalize();

  // Columns of the current row, numbered from 0.
  int Columns() const;  // of the current row; 0 without one
  bool IsNull(int column) const;
  int Int(int column) const;
  int64_t Int64(int column) const;
  std::string Text(int column) const;  // NULL reads ""
  std::vector<uint8_t> Blob(int column) const;
  std::string Bytes(int column) const;  // a blob's (or text's) bytes, whole

 private:
  Statement& BindInt64(int index, int64_t value);

  sqlite3_stmt* stmt_ = nullptr;
  StatementCache* cache_ = nullptr;
  int rc_ = SQLITE_OK;
  bool failed_ = false;
};

// Prepared statements of one connection kept for reuse, by their text: a
// program that runs the same few statements all the time spends much of its
// time parsing them otherwise. Safe to share between threads. Statements of
// a connection other than the one last used (one closed meanwhile) are
// finalized when given back.
class StatementCache {
 public:
  StatementCache() = default;
  ~StatementCache() { Clear(); }
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  // A statement of `sql` on `db`, kept or newly prepared; SQLite's result
  // code in *rc (the statement is null unless it is SQLITE_OK).
  sqlite3_stmt* Take(sqlite3* db, std::string_view sql, int* rc);
  void Give(sqlite3_stmt* stmt);
  // Finalizes what is kept: before its connection is closed.
  void Clear();

 private:
  static constexpr size_t kMaxKept = 256;
  std::mutex lock_;
  sqlite3* db_ = nullptr;
  std::multimap<std::string, sqlite3_stmt*, std::less<>> kept_;
};

// A text column of a statement as it is stored ("" for NULL), for code that
// reads rows of a statement it does not own.
std::string ColumnText(sqlite3_stmt* stmt, int column);

// Makes `db` wait up to `timeout_ms` for a lock another connection holds,
// trying again after 50 to 200 us for the first 50 ms and after longer
// pauses later. SQLite's own busy timeout sleeps 1, 2, 5, 10 ms and more
// between tries: a writer waiting behind a stream of short transactions comes
// too late for each free moment and waits far longer than they take.
void WaitWhileBusy(sqlite3* db, int timeout_ms);

}  // namespace base

#endif  // TARNVEX_BASE_SQL_STATEMENT_H_
