// The background checkpoints of a process's service (CheckpointInBackground,
// service.h): once started, this process's commits wake a thread when the
// write-ahead log holds kCheckpointPages, and the thread copies the log into
// the file on a connection of its own. Owned by the MessageService.
#ifndef TARNVEX_DEVICE_SERVICE_CHECKPOINTER_H_
#define TARNVEX_DEVICE_SERVICE_CHECKPOINTER_H_

#include <sqlite3.h>

#include <atomic>
#include <thread>

#include "base/mutex.h"

namespace device {

class MessageService;

namespace service {

// Every connection copies the log into the file by itself only past
// kFallbackCheckpointPages; with background checkpoints this process's
// commits wake the thread once the log holds kCheckpointPages.
inline constexpr int kCheckpointPages = 1000;
inline constexpr int kFallbackCheckpointPages = 10000;

class Checkpointer {
 public:
  explicit Checkpointer(MessageService* owner) : owner_(owner) {}
  // Stops the thread and waits for it; not under the owner's lock (the
  // thread may be waiting for it).
  ~Checkpointer();
  Checkpointer(const Checkpointer&) = delete;
  Checkpointer& operator=(const Checkpointer&) = delete;

  // Starts the thread; false when it had been started before.
  bool Start() EXCLUDES(lock_);
  // Lets the commits of `db` wake the thread, once it is started. Not under
  // lock_: SQLite takes the connection's own mutex here, and the commit
  // hook takes lock_ under it.
  void Hook(sqlite3* db) EXCLUDES(lock_);

 private:
  static int OnWalCommit(void* self, sqlite3* db, const char* name, int pages);
  void Loop() EXCLUDES(lock_);

  MessageService* const owner_;
  // Comes after the owner's lock: a commit (under it) takes it in
  // OnWalCommit.
  base::Mutex lock_;
  base::CondVar wake_;
  bool due_ GUARDED_BY(lock_) = false;
  bool stopping_ GUARDED_BY(lock_) = false;
  std::atomic<bool> started_{false};  // set once, never cleared
  std::thread thread_;
};

}  // namespace service
}  // namespace device

#endif  // TARNVEX_DEVICE_SERVICE_CHECKPOINTER_H_
