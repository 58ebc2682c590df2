// The connections to the databases of records: the kept store connections
// (one per store file, checked against the file the path names now) and the
// one summary connection.
#include "storage/record_connections.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "device/codepage.h"
#include "device/image.h"
#include "device/status.h"
#include "storage/locations.h"
#include "storage/statement.h"

namespace storage {

// The kept store connections, by host path. Each has its own lock, held by
// one operation at a time. records::Add takes it three times in turn (the
// look-up by digest, the count, the insert), so another writer may come between
// them: the Id is unique, and an insert that loses such a race fails and is
// made again at the next pass, where the look-up finds the record. The file's
// identity is checked before each use: a file removed or replaced since is
// opened afresh, as a new connection would.
struct KeptConnection {
  std::recursive_mutex lock;
  sqlite3* db = nullptr;
  dev_t device = 0;
  ino_t inode = 0;
  int users = 0;  // operations holding or waiting for it (under g_kept_lock)
};

namespace {

// The summary connection.
sqlite3* g_summary_db = nullptr;
bool g_summary_open = false;
std::string g_summary_table;
std::recursive_mutex g_summary_lock;

std::mutex g_kept_lock;
std::map<std::string, std::unique_ptr<KeptConnection>>& KeptConnections() {
  static auto* kept =
      new std::map<std::string, std::unique_ptr<KeptConnection>>;
  return *kept;
}

bool SameFile(const std::string& host, const KeptConnection& kept) {
  struct stat st;
  return stat(host.c_str(), &st) == 0 && st.st_dev == kept.device &&
         st.st_ino == kept.inode;
}

// Closes idle kept connections when there are too many (held under
// g_kept_lock).
void TrimKeptLocked() {
  auto& kept = KeptConnections();
  if (kept.size() < kMaxKeptStoreConnections) return;
  for (auto it = kept.begin(); it != kept.end();) {
    if (it->second->users == 0) {
      if (it->second->db != nullptr) sqlite3_close(it->second->db);
      it = kept.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

StoreConnection::StoreConnection(const char* store_name) {
  std::string path = StoreDbPath(store_name != nullptr ? store_name : "");
  std::string host;
  if (!device::HostPath(device::AnsiToWide(path), &host)) {
    open_ = device::Status::FromSqlite(SQLITE_CANTOPEN, DbErrorText(nullptr));
    return;
  }
  {
    std::lock_guard<std::mutex> guard(g_kept_lock);
    auto& kept = KeptConnections();
    auto it = kept.find(host);
    if (it == kept.end()) {
      TrimKeptLocked();
      it = kept.emplace(host, std::make_unique<KeptConnection>()).first;
    }
    kept_ = it->second.get();
    ++kept_->users;
  }
  hold_ = std::unique_lock<std::recursive_mutex>(kept_->lock);
  if (kept_->db != nullptr && SameFile(host, *kept_)) {
    open_ = device::Status::Ok();
    return;
  }
  if (kept_->db != nullptr) {
    sqlite3_close(kept_->db);
    kept_->db = nullptr;
  }
  sqlite3* db = nullptr;
  open_ = OpenCeDatabase(path.c_str(), &db);
  struct stat st;
  if (db != nullptr && open_.ok() && stat(host.c_str(), &st) == 0) {
    kept_->db = db;
    kept_->device = st.st_dev;
    kept_->inode = st.st_ino;
  } else {
    own_ = db;
    if (open_.ok())
      open_ = device::Status::FromSqlite(SQLITE_CANTOPEN, DbErrorText(db));
  }
}

StoreConnection::~StoreConnection() {
  if (own_ != nullptr) sqlite3_close(own_);
  if (kept_ != nullptr) {
    hold_.unlock();
    std::lock_guard<std::mutex> guard(g_kept_lock);
    --kept_->users;
  }
}

bool StoreConnection::ok() const { return db() != nullptr && open_.ok(); }

device::Status StoreConnection::status() const {
  if (ok()) return device::Status::Ok();
  if (!open_.ok()) return open_;
  return device::Status::FromSqlite(SQLITE_CANTOPEN, error());
}

sqlite3* StoreConnection::db() const {
  return own_ == nullptr && kept_ != nullptr ? kept_->db : nullptr;
}

const char* StoreConnection::error() const {
  return DbErrorText(own_ != nullptr ? own_ : db());
}

bool WithSummaryDb(
    const std::function<bool(sqlite3* db, const std::string& table)>& use) {
  std::lock_guard<std::recursive_mutex> guard(g_summary_lock);
  if (!OpenSummaryDb()) return false;
  if (!use(g_summary_db, g_summary_table)) CloseSummaryDb();
  return true;
}

}  // namespace storage

using storage::g_summary_db;
using storage::g_summary_lock;
using storage::g_summary_open;
using storage::g_summary_table;

bool OpenSummaryDb() {
  std::lock_guard<std::recursive_mutex> guard(g_summary_lock);
  if (g_summary_open) return true;
  std::string path, table;
  if (!GetMessageDbPath(&path, &table)) return false;
  sqlite3* db = storage::OpenCeDatabaseOrReport(path.c_str());
  if (db == nullptr) return false;
  g_summary_db = db;
  g_summary_table = table;
  g_summary_open = true;
  return true;
}

void CloseSummaryDb() {
  std::lock_guard<std::recursive_mutex> guard(g_summary_lock);
  if (!g_summary_open) return;
  sqlite3_close(g_summary_db);
  g_summary_db = nullptr;
  g_summary_open = false;
}

void CloseStoreConnections() {
  std::lock_guard<std::mutex> guard(storage::g_kept_lock);
  auto& kept = storage::KeptConnections();
  for (auto it = kept.begin(); it != kept.end();) {
    if (it->second->users != 0) {
      ++it;
      continue;
    }
    if (it->second->db != nullptr) sqlite3_close(it->second->db);
    it = kept.erase(it);
  }
}

void ResetMessageDb() {
  CloseStoreConnections();
  CloseSummaryDb();
}
