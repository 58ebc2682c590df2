// The checkpoint thread of a process's message service: a passive checkpoint
// (it never waits for writers or readers) whenever this process's commits
// have grown the write-ahead log past its bound.
#include "device/service/checkpointer.h"

#include "base/debug.h"
#include "device/image.h"
#include "device/service/message_service.h"

namespace device::service {

Checkpointer::~Checkpointer() {
  {
    base::MutexLock guard(&lock_);
    stopping_ = true;
  }
  wake_.Signal();
  if (thread_.joinable()) thread_.join();
}

bool Checkpointer::Start() {
  base::MutexLock guard(&lock_);
  if (started_.load()) return false;
  thread_ = std::thread([this] { Loop(); });
  started_.store(true);
  return true;
}

void Checkpointer::Hook(sqlite3* db) {
  if (started_.load()) sqlite3_wal_hook(db, OnWalCommit, this);
}

int Checkpointer::OnWalCommit(void* self, sqlite3*, const char*, int pages) {
  if (pages < kCheckpointPages) return SQLITE_OK;
  auto* c = static_cast<Checkpointer*>(self);
  {
    base::MutexLock guard(&c->lock_);
    c->due_ = true;
  }
  c->wake_.Signal();
  return SQLITE_OK;
}

// A connection of its own, opened for each checkpoint so that it follows the
// image and a file put in place of the old one.
void Checkpointer::Loop() {
  for (;;) {
    {
      base::MutexLock guard(&lock_);
      while (!due_ && !stopping_) wake_.Wait(&lock_);
      if (stopping_) return;
      due_ = false;
    }
    std::string path;
    {
      base::MutexLock guard(&owner_->lock());
      if (!owner_->IsOpen()) continue;
      path = MessageServicePath();
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
        SQLITE_OK) {
      base::WaitWhileBusy(db, 1000);
      int log = 0, copied = 0;
      if (sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                    &log, &copied) != SQLITE_OK) {
        base::DebugOut("message service: checkpoint: %s\n", sqlite3_errmsg(db));
      }
    }
    sqlite3_close_v2(db);
  }
}

}  // namespace device::service
