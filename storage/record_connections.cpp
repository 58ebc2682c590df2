// The connections to the databases of records: the kept store connections
// (one per store file, checked against the file the path names now) and the
// one summary connection.
#include "storage/record_connections.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "base/status.h"
#include "device/codepage.h"
#include "device/image.h"
#include "storage/locations.h"
#include "storage/statement.h"

namespace storage {
namespace {

// Guards the table of kept connections and their user counts. Taken only for
// a moment, never while waiting for a connection's own lock; it may be held
// while an idle connection's lock is taken (to close it).
base::Mutex g_kept_lock;

}  // namespace

// The kept store connections, by host path. Each has its own lock, held by
// one operation at a time. records::Add takes it three times in turn (the
// look-up by digest, the count, the insert), so another writer may come between
// them: the Id is unique, and an insert that loses such a race fails and is
// made again at the next pass, where the look-up finds the record. The file's
// identity is checked before each use: a file removed or replaced since is
// opened afresh, as a new connection would.
struct KeptConnection {
  // Held by one StoreConnection from its making to its end; no operation
  // makes a second StoreConnection to a store while it holds one.
  base::Mutex lock ACQUIRED_AFTER(g_kept_lock);
  sqlite3* db GUARDED_BY(lock) = nullptr;
  dev_t device GUARDED_BY(lock) = 0;
  ino_t inode GUARDED_BY(lock) = 0;
  // Operations holding or waiting for it.
  int users GUARDED_BY(g_kept_lock) = 0;
};

namespace {

// The summary connection.
base::Mutex g_summary_lock;
sqlite3* g_summary_db GUARDED_BY(g_summary_lock) = nullptr;
bool g_summary_open GUARDED_BY(g_summary_lock) = false;
std::string g_summary_table GUARDED_BY(g_summary_lock);

std::map<std::string, std::unique_ptr<KeptConnection>>& KeptConnections()
    REQUIRES(g_kept_lock) {
  static auto* kept =
      new std::map<std::string, std::unique_ptr<KeptConnection>>;
  return *kept;
}

bool SameFile(const std::string& host, const KeptConnection& kept)
    REQUIRES(kept.lock) {
  struct stat st;
  return stat(host.c_str(), &st) == 0 && st.st_dev == kept.device &&
         st.st_ino == kept.inode;
}

// Closes an idle kept connection (nobody holds or waits for its lock).
void CloseIdle(KeptConnection* kept) REQUIRES(g_kept_lock) {
  base::MutexLock hold(&kept->lock);
  if (kept->db != nullptr) sqlite3_close(kept->db);
  kept->db = nullptr;
}

// Closes idle kept connections when there are too many.
void TrimKeptLocked() REQUIRES(g_kept_lock) {
  auto& kept = KeptConnections();
  if (kept.size() < kMaxKeptStoreConnections) return;
  for (auto it = kept.begin(); it != kept.end();) {
    if (it->second->users == 0) {
      CloseIdle(it->second.get());
      it = kept.erase(it);
    } else {
      ++it;
    }
  }
}

bool OpenSummaryDbLocked() REQUIRES(g_summary_lock) {
  if (g_summary_open) return true;
  std::string path, table;
  if (!GetMessageDbPath(&path, &table)) return false;
  sqlite3* db = OpenCeDatabaseOrReport(path.c_str());
  if (db == nullptr) return false;
  g_summary_db = db;
  g_summary_table = table;
  g_summary_open = true;
  return true;
}

void CloseSummaryDbLocked() REQUIRES(g_summary_lock) {
  if (!g_summary_open) return;
  sqlite3_close(g_summary_db);
  g_summary_db = nullptr;
  g_summary_open = false;
}

}  // namespace

// The connection's lock is taken here and let go in the destructor, which
// the analysis cannot follow across the two.
StoreConnection::StoreConnection(const char* store_name)
    NO_THREAD_SAFETY_ANALYSIS {
  std::string path = StoreDbPath(store_name != nullptr ? store_name : "");
  std::string host;
  if (!device::HostPath(device::AnsiToWide(path), &host)) {
    open_ = base::Status::FromSqlite(SQLITE_CANTOPEN, DbErrorText(nullptr));
    return;
  }
  {
    base::MutexLock guard(&g_kept_lock);
    auto& kept = KeptConnections();
    auto it = kept.find(host);
    if (it == kept.end()) {
      TrimKeptLocked();
      it = kept.emplace(host, std::make_unique<KeptConnection>()).first;
    }
    kept_ = it->second.get();
    ++kept_->users;
  }
  kept_->lock.Lock();
  if (kept_->db != nullptr && SameFile(host, *kept_)) {
    open_ = base::Status::Ok();
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
      open_ = base::Status::FromSqlite(SQLITE_CANTOPEN, DbErrorText(db));
  }
}

StoreConnection::~StoreConnection() NO_THREAD_SAFETY_ANALYSIS {
  if (own_ != nullptr) sqlite3_close(own_);
  if (kept_ != nullptr) {
    kept_->lock.Unlock();
    base::MutexLock guard(&g_kept_lock);
    --kept_->users;
  }
}

bool StoreConnection::ok() const { return db() != nullptr && open_.ok(); }

base::Status StoreConnection::status() const {
  if (ok()) return base::Status::Ok();
  if (!open_.ok()) return open_;
  return base::Status::FromSqlite(SQLITE_CANTOPEN, error());
}

sqlite3* StoreConnection::db() const {
  if (own_ != nullptr || kept_ == nullptr) return nullptr;
  kept_->lock.AssertHeld();  // held from the making of this object
  return kept_->db;
}

const char* StoreConnection::error() const {
  return DbErrorText(own_ != nullptr ? own_ : db());
}

bool WithSummaryDb(
    const std::function<bool(sqlite3* db, const std::string& table)>& use) {
  base::MutexLock guard(&g_summary_lock);
  if (!OpenSummaryDbLocked()) return false;
  if (!use(g_summary_db, g_summary_table)) CloseSummaryDbLocked();
  return true;
}

}  // namespace storage

bool OpenSummaryDb() {
  base::MutexLock guard(&storage::g_summary_lock);
  return storage::OpenSummaryDbLocked();
}

void CloseSummaryDb() {
  base::MutexLock guard(&storage::g_summary_lock);
  storage::CloseSummaryDbLocked();
}

void CloseStoreConnections() {
  base::MutexLock guard(&storage::g_kept_lock);
  auto& kept = storage::KeptConnections();
  for (auto it = kept.begin(); it != kept.end();) {
    if (it->second->users != 0) {
      ++it;
      continue;
    }
    storage::CloseIdle(it->second.get());
    it = kept.erase(it);
  }
}

void ResetMessageDb() {
  CloseStoreConnections();
  CloseSummaryDb();
}
