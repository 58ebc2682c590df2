// The prepared-statement wrapper, the statement cache and the busy handler
// shared by the program and the message service.
#include "base/sql_statement.h"

#include <chrono>
#include <thread>
#include <utility>

namespace base {

Statement::Statement(sqlite3* db, std::string_view sql) { Prepare(db, sql); }

Statement::Statement(StatementCache* cache, sqlite3* db, std::string_view sql) {
  if (cache == nullptr || db == nullptr) {
    Prepare(db, sql);
    return;
  }
  stmt_ = cache->Take(db, sql, &rc_);
  if (stmt_ != nullptr) cache_ = cache;
}

Statement::~Statement() { Finalize(); }

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)),
      cache_(std::exchange(other.cache_, nullptr)),
      rc_(other.rc_),
      failed_(other.failed_) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    Finalize();
    stmt_ = std::exchange(other.stmt_, nullptr);
    cache_ = std::exchange(other.cache_, nullptr);
    rc_ = other.rc_;
    failed_ = other.failed_;
  }
  return *this;
}

int Statement::Prepare(sqlite3* db, std::string_view sql, const char** tail) {
  Finalize();
  failed_ = false;
  if (tail != nullptr) *tail = nullptr;
  if (db == nullptr) {
    rc_ = SQLITE_MISUSE;
    return rc_;
  }
  // The text need not end with a NUL: its length is passed.
  const char* rest = nullptr;
  rc_ = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_,
                           &rest);
  if (rc_ != SQLITE_OK) Finalize();
  if (tail != nullptr) *tail = rest;
  return rc_;
}

Statement& Statement::BindInt64(int index, int64_t value) {
  if (stmt_ == nullptr) return *this;
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) {
    rc_ = rc;
    failed_ = true;
  }
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (stmt_ == nullptr) return *this;
  // An empty view may have no data pointer, which would bind NULL.
  int rc = sqlite3_bind_text(stmt_, index, text.empty() ? "" : text.data(),
                             static_cast<int>(text.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) {
    rc_ = rc;
    failed_ = true;
  }
  return *this;
}

Statement& Statement::BindBlob(int index, std::string_view bytes) {
  if (stmt_ == nullptr) return *this;
  int rc = bytes.empty() ? sqlite3_bind_zeroblob(stmt_, index, 0)
                         : sqlite3_bind_blob64(stmt_, index, bytes.data(),
                                               bytes.size(), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) {
    rc_ = rc;
    failed_ = true;
  }
  return *this;
}

int Statement::ParameterCount() const {
  return stmt_ != nullptr ? sqlite3_bind_parameter_count(stmt_) : 0;
}

Statement::Result Statement::Next() {
  if (failed()) return Result::kError;
  rc_ = sqlite3_step(stmt_);
  if (rc_ == SQLITE_ROW) return Result::kRow;
  if (rc_ == SQLITE_DONE) return Result::kDone;
  failed_ = true;
  return Result::kError;
}

int Statement::Exec() {
  if (failed()) return rc_ != SQLITE_OK ? rc_ : SQLITE_ERROR;
  Result result;
  while ((result = Next()) == Result::kRow) {
  }
  return rc_;
}

void Statement::Reset() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  rc_ = SQLITE_OK;
  failed_ = false;
}

void Statement::Finalize() {
  if (stmt_ != nullptr) {
    if (cache_ != nullptr)
      cache_->Give(stmt_);
    else
      sqlite3_finalize(stmt_);
  }
  stmt_ = nullptr;
  cache_ = nullptr;
}

sqlite3_stmt* StatementCache::Take(sqlite3* db, std::string_view sql, int* rc) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (db != db_) {
      for (auto& [text, stmt] : kept_) sqlite3_finalize(stmt);
      kept_.clear();
      db_ = db;
    }
    auto it = kept_.find(sql);
    if (it != kept_.end()) {
      sqlite3_stmt* stmt = it->second;
      kept_.erase(it);
      *rc = SQLITE_OK;
      return stmt;
    }
  }
  sqlite3_stmt* stmt = nullptr;
  *rc = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (*rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  return stmt;
}

void StatementCache::Give(sqlite3_stmt* stmt) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (sqlite3_db_handle(stmt) == db_ && kept_.size() < kMaxKept) {
      kept_.emplace(sqlite3_sql(stmt), stmt);
      return;
    }
  }
  sqlite3_finalize(stmt);
}

void StatementCache::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [text, stmt] : kept_) sqlite3_finalize(stmt);
  kept_.clear();
  db_ = nullptr;
}

int Statement::Columns() const {
  return stmt_ != nullptr ? sqlite3_data_count(stmt_) : 0;
}

bool Statement::IsNull(int column) const {
  return stmt_ == nullptr || sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

int Statement::Int(int column) const {
  return stmt_ != nullptr ? sqlite3_column_int(stmt_, column) : 0;
}

int64_t Statement::Int64(int column) const {
  return stmt_ != nullptr ? sqlite3_column_int64(stmt_, column) : 0;
}

std::string Statement::Text(int column) const {
  return stmt_ != nullptr ? ColumnText(stmt_, column) : std::string();
}

std::vector<uint8_t> Statement::Blob(int column) const {
  if (stmt_ == nullptr) return {};
  const auto* bytes =
      static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  if (bytes == nullptr || size <= 0) return {};
  return std::vector<uint8_t>(bytes, bytes + size);
}

std::string Statement::Bytes(int column) const {
  if (stmt_ == nullptr) return {};
  const auto* bytes =
      static_cast<const char*>(sqlite3_column_blob(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  if (bytes == nullptr || size <= 0) return {};
  return std::string(bytes, static_cast<size_t>(size));
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) return "";
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

namespace {

// How long the thread has slept in its current wait for a lock. SQLite
// calls the handler on the waiting thread, with count 0 at the first try of
// each wait.
thread_local std::chrono::microseconds t_waited;

// Short pauses while the wait is short, since the lock is mostly free again
// within a commit's time; longer ones once it is plainly held for long, so
// that a long wait does not keep a core busy.
std::chrono::microseconds Pause(std::chrono::microseconds waited) {
  using std::chrono::microseconds;
  if (waited < microseconds(200)) return microseconds(50);
  if (waited < microseconds(50000)) return microseconds(200);
  if (waited < microseconds(1000000)) return microseconds(1000);
  return microseconds(5000);
}

// The pauses are slept through the VFS, and the wait is the time slept, as
// SQLite's own busy handler counts it: a test's VFS can then let a wait of
// seconds pass at once.
int OnBusy(void* timeout_ms, int count) {
  if (count == 0) t_waited = std::chrono::microseconds(0);
  if (t_waited.count() >= reinterpret_cast<intptr_t>(timeout_ms) * 1000)
    return 0;
  const std::chrono::microseconds pause = Pause(t_waited);
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  if (vfs != nullptr && vfs->xSleep != nullptr) {
    vfs->xSleep(vfs, static_cast<int>(pause.count()));
  } else {
    std::this_thread::sleep_for(pause);
  }
  t_waited += pause;
  return 1;
}

}  // namespace

void WaitWhileBusy(sqlite3* db, int timeout_ms) {
  if (db == nullptr) return;
  sqlite3_busy_handler(db, OnBusy,
                       reinterpret_cast<void*>(static_cast<intptr_t>(
                           timeout_ms > 0 ? timeout_ms : 0)));
}

}  // namespace base
