// The message service of one process: its connection to the service file,
// the connection's lock and kept statements, the entries its own changes
// made in the journal, the mark it leaves after each commit, its background
// checkpointer and its notifier. A process opens one and owns it: the
// tarnvex-device tool makes one in main for its commands and the transport;
// a process that never made one (the Tarnvex program, which reaches the
// service only through MAPILogonEx and the other entry points of
// mapi/mapi.h, which have no place to pass one; tests) gets one made at the
// first use and kept until exit (Current()). Not for the program: it sees
// only mapi/mapi.h.
#ifndef TARNVEX_DEVICE_SERVICE_MESSAGE_SERVICE_H_
#define TARNVEX_DEVICE_SERVICE_MESSAGE_SERVICE_H_

#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "base/sql_statement.h"
#include "base/status.h"

namespace device {
namespace service {

class Checkpointer;
class Notifier;
struct NotifierDeleter {
  void operator()(Notifier* notifier) const;
};
// A notifier with no thread yet (notifier.cpp).
std::unique_ptr<Notifier, NotifierDeleter> MakeNotifier();

// A journal entry by its seq and its random stamp: a file restored from a
// backup, or a new one, numbers its entries from an earlier seq again, and
// only the stamp tells its entry from the one of the same seq before.
struct JournalMark {
  int64_t seq = 0;
  int64_t stamp = 0;
};

}  // namespace service

class MessageService {
 public:
  // Becomes the process's service (Current()) when there is none yet; the
  // connection opens at the first use.
  MessageService();
  // Stops the notifier and the checkpointer, closes the connection, and is
  // the process's service no more.
  ~MessageService();
  MessageService(const MessageService&) = delete;
  MessageService& operator=(const MessageService&) = delete;

  // The process's service: the one its owner made, else one made now and
  // kept until exit.
  static MessageService& Current();

  // The lock of the connection. Every use holds it; a change runs inside
  // Change(), which takes it, commits, journals and marks the commit. It is
  // not recursive: a function that takes it calls only functions that
  // REQUIRE it, never one that takes it again. Lock order: it comes before
  // the notifier's locks, the own-entries lock and the checkpointer's lock,
  // which are taken under it and never take it.
  base::Mutex& lock() RETURN_CAPABILITY(lock_) { return lock_; }

  // The connection, opened on the current image's service file when it is
  // not (or on another image's); null when it cannot be opened.
  sqlite3* Db() REQUIRES(lock_);
  base::Status EnsureOpen() REQUIRES(lock_);
  bool IsOpen() REQUIRES(lock_) { return db_ != nullptr; }
  // Closes the connection (the notifier must be stopped first).
  void Close() REQUIRES(lock_);
  // Opens the file at the service's path again when it is another file than
  // the one the connection has open (a copy renamed over it: the connection
  // would go on reading the old one). True when it did; never inside a
  // change.
  bool ReopenIfReplaced() REQUIRES(lock_);
  base::StatementCache& statements() REQUIRES(lock_) { return statements_; }

  // Runs `body` in one immediate transaction under the lock; journal
  // entries it makes are committed with it. DurableChange syncs the commit
  // to the disk before it returns (the connection otherwise syncs only at
  // checkpoints): for what an "accepted" answer follows.
  bool Change(const std::function<bool()>& body) EXCLUDES(lock_);
  bool DurableChange(const std::function<bool()>& body) EXCLUDES(lock_);

  // The journal entry the change under way made (Journal and
  // TakeTriggeredArrival in journal.cpp), counted as this process's own
  // once it commits.
  void NoteOwnEntry(const service::JournalMark& mark) REQUIRES(lock_) {
    own_pending_ = mark;
  }
  // The newest journal entry that a committed change of this process made
  // on the file now open (seq 0 when none).
  service::JournalMark NewestOwnEntry() EXCLUDES(own_lock_);
  void ForgetOwnEntries() EXCLUDES(own_lock_);

  // Moves the log's checkpoints onto a thread of their own (service.h,
  // CheckpointInBackground).
  void StartBackgroundCheckpoints() EXCLUDES(lock_);
  service::Notifier& notifier() { return *notifier_; }
  // Stops the notification thread. Not under the lock: the thread may be
  // waiting for it while it is joined.
  void StopNotifier() EXCLUDES(lock_);

  // True (and noted) when the journal was last trimmed `interval_ms` or
  // more before `now_ms`: the transport's loop trims it that often.
  bool JournalTrimDue(int64_t now_ms, int64_t interval_ms) {
    int64_t trimmed_at = last_trim_ms_.load();
    return (now_ms - trimmed_at >= interval_ms || now_ms < trimmed_at) &&
           last_trim_ms_.compare_exchange_strong(trimmed_at, now_ms);
  }

 private:
  bool ChangeLocked(const std::function<bool()>& body) REQUIRES(lock_);
  void MarkCommit() REQUIRES(lock_);

  base::Mutex lock_;
  sqlite3* db_ GUARDED_BY(lock_) = nullptr;
  // The image the connection belongs to, and the file it was opened on (to
  // tell when another one has been renamed over it).
  std::string image_ GUARDED_BY(lock_);
  dev_t device_ GUARDED_BY(lock_) = 0;
  ino_t inode_ GUARDED_BY(lock_) = 0;
  base::StatementCache statements_ GUARDED_BY(lock_);
  // Of the commit mark (MarkCommit).
  int commit_fd_ GUARDED_BY(lock_) = -1;
  std::string commit_path_ GUARDED_BY(lock_);
  // The newest journal entry a committed change of this process made, and
  // the one the change under way has made so far. The notifier reads own_
  // under its own lock.
  base::Mutex own_lock_ ACQUIRED_AFTER(lock_);
  service::JournalMark own_ GUARDED_BY(own_lock_);
  service::JournalMark own_pending_ GUARDED_BY(lock_);
  // Both made with the service and kept until it goes.
  std::unique_ptr<service::Checkpointer> checkpointer_;
  std::unique_ptr<service::Notifier, service::NotifierDeleter> notifier_;
  std::atomic<int64_t> last_trim_ms_{0};
};

}  // namespace device

#endif  // TARNVEX_DEVICE_SERVICE_MESSAGE_SERVICE_H_
