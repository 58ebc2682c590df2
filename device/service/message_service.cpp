// A process's message service: opening the service file (refusing one that
// is no database), following the image and a file renamed over the open one,
// changes in one transaction with their journal entries, the mark after each
// commit that wakes the listeners, and which service is the process's.
#include "device/service/message_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/debug.h"
#include "device/files.h"
#include "device/image.h"
#include "device/service/checkpointer.h"
#include "device/service/schema.h"

namespace device {
namespace {

// The process's service: the one its owner made (the first one made), or
// the one Current() made for a process that made none. The only state of
// the service outside its object.
std::atomic<MessageService*> g_current{nullptr};
// Taken by Current() while it makes one.
base::Mutex g_making;

}  // namespace

MessageService::MessageService()
    : checkpointer_(std::make_unique<service::Checkpointer>(this)),
      notifier_(service::MakeNotifier()) {
  MessageService* none = nullptr;
  g_current.compare_exchange_strong(none, this);
}

MessageService::~MessageService() {
  StopNotifier();
  {
    base::MutexLock guard(&lock_);
    Close();
    if (commit_fd_ >= 0) close(commit_fd_);
    commit_fd_ = -1;
  }
  checkpointer_.reset();  // not under the lock: its thread may wait for it
  MessageService* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

MessageService& MessageService::Current() {
  MessageService* current = g_current.load();
  if (current != nullptr) return *current;
  base::MutexLock guard(&g_making);
  // Kept until exit: the entry points of mapi/mapi.h may be called from any
  // thread until then.
  if (g_current.load() == nullptr) new MessageService;
  return *g_current.load();
}

sqlite3* MessageService::Db() {
  if (!EnsureOpen().ok()) return nullptr;
  return db_;
}

base::Status MessageService::EnsureOpen() {
  if (db_ != nullptr && image_ == ImageRoot()) return base::Status::Ok();
  if (db_ != nullptr) {
    statements_.Clear();
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  if (!ImageExists()) {
    return base::Status::Unavailable("no device image at " + ImageRoot() +
                                     " (run \"tarnvex-device init\")");
  }
  EnsurePrivateDir(DeviceDataDir());
  const std::string path = MessageServicePath();
  // A file that is there but is no database is refused before SQLite could
  // take it for an empty one and write over it.
  {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) {
      char header[16] = {};
      size_t got = std::fread(header, 1, sizeof header, file);
      std::fclose(file);
      if (got != 0 && (got != sizeof header ||
                       std::memcmp(header, "SQLite format 3", 16) != 0)) {
        return base::Status::Corrupt("the message service " + path +
                                     " is not a database; it was left as it "
                                     "is");
      }
    }
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
      nullptr);
  if (rc != SQLITE_OK) {
    base::Status failed = base::Status::FromSqlite(
        rc, "cannot open the message service " + path + ": " +
                (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
    sqlite3_close(db);
    return failed;
  }
  base::WaitWhileBusy(db, 10000);
  char* message = nullptr;
  rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, &message);
  base::Status schema =
      rc == SQLITE_OK
          ? service::ApplySchema(db)
          : base::Status::FromSqlite(
                rc, message != nullptr ? message : sqlite3_errmsg(db));
  sqlite3_free(message);
  if (!schema.ok()) {
    sqlite3_close(db);
    const std::string why =
        "the message service " + path + " is not usable: " + schema.message();
    return schema.IsBusy()      ? base::Status::Busy(why)
           : schema.IsCorrupt() ? base::Status::Corrupt(why)
                                : base::Status::IoError(why);
  }
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  sqlite3_wal_autocheckpoint(db, service::kFallbackCheckpointPages);
  checkpointer_->Hook(db);
  struct stat opened {};
  if (stat(path.c_str(), &opened) == 0) {
    device_ = opened.st_dev;
    inode_ = opened.st_ino;
  }
  db_ = db;
  image_ = ImageRoot();
  ForgetOwnEntries();  // they were entries of another file
  return base::Status::Ok();
}

void MessageService::Close() {
  statements_.Clear();
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  image_.clear();
  ForgetOwnEntries();
}

bool MessageService::ReopenIfReplaced() {
  if (db_ == nullptr || !sqlite3_get_autocommit(db_)) return false;
  struct stat now {};
  // No file at the path (being replaced, or removed): the open one stays;
  // opening would make an empty service.
  if (stat(MessageServicePath().c_str(), &now) != 0) return false;
  if (now.st_dev == device_ && now.st_ino == inode_) return false;
  base::DebugOut("message service: %s was replaced; opening the new file\n",
                 MessageServicePath().c_str());
  // Closed before the new file is opened: the last connection to the old
  // file writes its log into it and removes the log, which the new file
  // must not find.
  Close();
  base::Status opened = EnsureOpen();
  if (!opened.ok())
    base::DebugOut("message service: %s\n", opened.message().c_str());
  return true;
}

service::JournalMark MessageService::NewestOwnEntry() {
  base::MutexLock guard(&own_lock_);
  return own_;
}

void MessageService::ForgetOwnEntries() {
  base::MutexLock guard(&own_lock_);
  own_ = service::JournalMark{};
}

void MessageService::StartBackgroundCheckpoints() {
  if (!checkpointer_->Start()) return;
  base::MutexLock guard(&lock_);
  if (db_ != nullptr) checkpointer_->Hook(db_);
}

// Listeners wake when a file in the service's folder changes, but a commit
// writes its log before it becomes visible (after the log's sync, in the
// shared memory, which no file watch sees): a listener woken by the log's
// write may read too early and then sleep through the commit. So every
// commit of this process is followed by a write to a file of its own there,
// made when the commit can be read. (A commit written by another program is
// seen at a later wake, at the latest at the listeners' fallback wake.)
void MessageService::MarkCommit() {
  const std::string want = MessageServicePath() + "-commit";
  if (commit_fd_ < 0 || commit_path_ != want) {
    if (commit_fd_ >= 0) close(commit_fd_);
    commit_path_ = want;
    commit_fd_ =
        open(commit_path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
             kPrivateFileMode);
  }
  if (commit_fd_ < 0) return;
  const char mark = '.';
  if (pwrite(commit_fd_, &mark, 1, 0) != 1) {
    close(commit_fd_);
    commit_fd_ = -1;
  }
}

bool MessageService::ChangeLocked(const std::function<bool()>& body) {
  // Listeners see the commit in the file itself (notifier.cpp); nobody
  // needs to be woken.
  sqlite3* db = Db();
  if (db == nullptr) return false;
  if (sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    return false;
  }
  own_pending_ = service::JournalMark{};
  bool ok = false;
  try {
    ok = body();
  } catch (...) {
    base::DebugCaught("Change");
    ok = false;
  }
  if (ok &&
      sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK) {
    MarkCommit();
    if (own_pending_.seq != 0) {
      base::MutexLock own_guard(&own_lock_);
      own_ = own_pending_;
    }
    return true;
  }
  sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
  return false;
}

bool MessageService::Change(const std::function<bool()>& body) {
  base::MutexLock guard(&lock_);
  return ChangeLocked(body);
}

bool MessageService::DurableChange(const std::function<bool()>& body) {
  base::MutexLock guard(&lock_);
  sqlite3* db = Db();
  if (db == nullptr) return false;
  // FULL syncs the write-ahead log at this commit; the connection goes back
  // to NORMAL for every other change.
  if (sqlite3_exec(db, "PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    return false;
  }
  const bool ok = ChangeLocked(body);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  return ok;
}

}  // namespace device
