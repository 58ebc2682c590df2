// The disk-fault VFS for tests: a file wrapper over the default VFS's files
// that counts and fails operations, and a copy of each file as of its last
// sync to go back to after a power cut.
#include "tests/support/fault_vfs.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace testing_support {
namespace {

// The one shim registered now (one at a time).
FaultVfs* g_shim = nullptr;
sqlite3_vfs* g_real = nullptr;

// A file of the shim: SQLite allocates szOsFile bytes, the real VFS's file
// follows this header.
struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real;
  std::string* path;  // null for files without a name (temporary ones)
};

sqlite3_file* Real(sqlite3_file* file) {
  return reinterpret_cast<ShimFile*>(file)->real;
}

// The whole file as the real VFS reads it now.
std::string ReadAll(sqlite3_file* real) {
  sqlite3_int64 size = 0;
  if (real->pMethods->xFileSize(real, &size) != SQLITE_OK || size <= 0)
    return "";
  std::string bytes(static_cast<size_t>(size), '\0');
  if (real->pMethods->xRead(real, bytes.data(), static_cast<int>(size), 0) !=
      SQLITE_OK) {
    return "";
  }
  return bytes;
}

int Close(sqlite3_file* file) {
  ShimFile* f = reinterpret_cast<ShimFile*>(file);
  const int rc = f->real->pMethods != nullptr
                     ? f->real->pMethods->xClose(f->real)
                     : SQLITE_OK;
  delete f->path;
  f->path = nullptr;
  return rc;
}

int Meet(DiskOp op, sqlite3_file* file) {
  return g_shim->Meet(op, reinterpret_cast<ShimFile*>(file)->path);
}

int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  if (const int rc = Meet(DiskOp::kRead, file); rc != SQLITE_OK) return rc;
  return Real(file)->pMethods->xRead(Real(file), buffer, amount, offset);
}

int Write(sqlite3_file* file, const void* buffer, int amount,
          sqlite3_int64 offset) {
  if (const int rc = Meet(DiskOp::kWrite, file); rc != SQLITE_OK) return rc;
  return Real(file)->pMethods->xWrite(Real(file), buffer, amount, offset);
}

int Truncate(sqlite3_file* file, sqlite3_int64 size) {
  if (const int rc = Meet(DiskOp::kWrite, file); rc != SQLITE_OK)
    return rc == SQLITE_IOERR_WRITE ? SQLITE_IOERR_TRUNCATE : rc;
  return Real(file)->pMethods->xTruncate(Real(file), size);
}

// What was written so far is what the file now keeps; the real disk is
// never synced (see the header).
int Sync(sqlite3_file* file, int) {
  if (const int rc = Meet(DiskOp::kSync, file); rc != SQLITE_OK) return rc;
  ShimFile* f = reinterpret_cast<ShimFile*>(file);
  if (f->path != nullptr) g_shim->Synced(*f->path, ReadAll(f->real));
  return SQLITE_OK;
}

int FileSize(sqlite3_file* file, sqlite3_int64* size) {
  return Real(file)->pMethods->xFileSize(Real(file), size);
}

// Only requests for the write lock are counted and answered busy: in WAL
// mode a program that holds the file locks out writers, never readers.
int Lock(sqlite3_file* file, int level) {
  if (level >= SQLITE_LOCK_RESERVED) {
    if (const int rc = Meet(DiskOp::kLock, file); rc != SQLITE_OK) return rc;
  }
  return Real(file)->pMethods->xLock(Real(file), level);
}

int Unlock(sqlite3_file* file, int level) {
  return Real(file)->pMethods->xUnlock(Real(file), level);
}

int CheckReservedLock(sqlite3_file* file, int* out) {
  return Real(file)->pMethods->xCheckReservedLock(Real(file), out);
}

int FileControl(sqlite3_file* file, int op, void* arg) {
  // The VFS name is the shim's over the real one's.
  if (op == SQLITE_FCNTL_VFSNAME) {
    const int rc = Real(file)->pMethods->xFileControl(Real(file), op, arg);
    if (rc == SQLITE_OK) {
      char** name = static_cast<char**>(arg);
      char* mine = sqlite3_mprintf("%s/%z", FaultVfs::kName, *name);
      *name = mine;
    }
    return rc;
  }
  return Real(file)->pMethods->xFileControl(Real(file), op, arg);
}

int SectorSize(sqlite3_file* file) {
  return Real(file)->pMethods->xSectorSize(Real(file));
}

int DeviceCharacteristics(sqlite3_file* file) {
  return Real(file)->pMethods->xDeviceCharacteristics(Real(file));
}

// The shared memory is passed through: it is no file on the disk that a
// power cut keeps. Its first lock is the log's write lock.
int ShmMap(sqlite3_file* file, int page, int size, int extend,
           void volatile** out) {
  return Real(file)->pMethods->xShmMap(Real(file), page, size, extend, out);
}

int ShmLock(sqlite3_file* file, int offset, int n, int flags) {
  constexpr int kWalWriteLock = 0;
  if ((flags & SQLITE_SHM_LOCK) != 0 && (flags & SQLITE_SHM_EXCLUSIVE) != 0 &&
      offset == kWalWriteLock) {
    if (const int rc = Meet(DiskOp::kLock, file); rc != SQLITE_OK) return rc;
  }
  return Real(file)->pMethods->xShmLock(Real(file), offset, n, flags);
}

void ShmBarrier(sqlite3_file* file) {
  Real(file)->pMethods->xShmBarrier(Real(file));
}

int ShmUnmap(sqlite3_file* file, int delete_flag) {
  return Real(file)->pMethods->xShmUnmap(Real(file), delete_flag);
}

// Version 2: no memory-mapped reads, so every read passes Read().
const sqlite3_io_methods kMethods = {2,
                                     Close,
                                     Read,
                                     Write,
                                     Truncate,
                                     Sync,
                                     FileSize,
                                     Lock,
                                     Unlock,
                                     CheckReservedLock,
                                     FileControl,
                                     SectorSize,
                                     DeviceCharacteristics,
                                     ShmMap,
                                     ShmLock,
                                     ShmBarrier,
                                     ShmUnmap,
                                     nullptr,
                                     nullptr};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags,
         int* out_flags) {
  ShimFile* f = reinterpret_cast<ShimFile*>(file);
  f->base.pMethods = nullptr;
  f->real = reinterpret_cast<sqlite3_file*>(f + 1);
  f->path = nullptr;
  if (name != nullptr) {
    g_shim->Track(name, (flags & SQLITE_OPEN_MAIN_DB) != 0);
  }
  const int rc = g_real->xOpen(g_real, name, f->real, flags, out_flags);
  if (rc != SQLITE_OK) {
    if (f->real->pMethods != nullptr) f->real->pMethods->xClose(f->real);
    return rc;
  }
  if (name != nullptr) f->path = new std::string(name);
  f->base.pMethods = &kMethods;
  return SQLITE_OK;
}

int Delete(sqlite3_vfs*, const char* name, int sync_dir) {
  if (g_shim->PowerIsCut()) return SQLITE_IOERR_DELETE;
  const int rc = g_real->xDelete(g_real, name, sync_dir);
  if (rc == SQLITE_OK) g_shim->Deleted(name);
  return rc;
}

int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return g_real->xAccess(g_real, name, flags, out);
}

int FullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return g_real->xFullPathname(g_real, name, size, out);
}

void* DlOpen(sqlite3_vfs*, const char* name) {
  return g_real->xDlOpen(g_real, name);
}
void DlError(sqlite3_vfs*, int size, char* out) {
  g_real->xDlError(g_real, size, out);
}
void (*DlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
  return g_real->xDlSym(g_real, handle, symbol);
}
void DlClose(sqlite3_vfs*, void* handle) { g_real->xDlClose(g_real, handle); }

int Randomness(sqlite3_vfs*, int size, char* out) {
  return g_real->xRandomness(g_real, size, out);
}
int SleepFor(sqlite3_vfs*, int microseconds) {
  if (!g_shim->Sleep(microseconds)) return microseconds;
  return g_real->xSleep(g_real, microseconds);
}
int CurrentTime(sqlite3_vfs*, double* out) {
  return g_real->xCurrentTime(g_real, out);
}
int GetLastError(sqlite3_vfs*, int size, char* out) {
  return g_real->xGetLastError != nullptr
             ? g_real->xGetLastError(g_real, size, out)
             : 0;
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return g_real->xCurrentTimeInt64(g_real, out);
}

int ErrorOf(DiskOp op) {
  switch (op) {
    case DiskOp::kRead:
      return SQLITE_IOERR_READ;
    case DiskOp::kWrite:
      return SQLITE_IOERR_WRITE;
    case DiskOp::kSync:
      return SQLITE_IOERR_FSYNC;
    case DiskOp::kLock:
      break;
  }
  return SQLITE_BUSY;
}

}  // namespace

FaultVfs::FaultVfs(bool make_default) {
  g_real = sqlite3_vfs_find(nullptr);
  previous_default_ = g_real;
  vfs_.iVersion = 2;
  vfs_.szOsFile = static_cast<int>(sizeof(ShimFile)) + g_real->szOsFile;
  vfs_.mxPathname = g_real->mxPathname;
  vfs_.zName = kName;
  vfs_.xOpen = Open;
  vfs_.xDelete = Delete;
  vfs_.xAccess = Access;
  vfs_.xFullPathname = FullPathname;
  vfs_.xDlOpen = DlOpen;
  vfs_.xDlError = DlError;
  vfs_.xDlSym = DlSym;
  vfs_.xDlClose = DlClose;
  vfs_.xRandomness = Randomness;
  vfs_.xSleep = SleepFor;
  vfs_.xCurrentTime = CurrentTime;
  vfs_.xGetLastError = GetLastError;
  vfs_.xCurrentTimeInt64 = CurrentTimeInt64;
  g_shim = this;
  sqlite3_vfs_register(&vfs_, make_default ? 1 : 0);
}

FaultVfs::~FaultVfs() {
  sqlite3_vfs_unregister(&vfs_);
  sqlite3_vfs_register(previous_default_, 1);
  g_shim = nullptr;
}

int FaultVfs::Count(DiskOp op) const {
  base::MutexLock guard(&mutex_);
  return counts_[static_cast<int>(op)];
}

void FaultVfs::ResetCounts() {
  base::MutexLock guard(&mutex_);
  for (int& c : counts_) c = 0;
  for (Fault& f : faults_) f = Fault{};
  cut_at_sync_ = 0;
  slept_ = 0;
}

void FaultVfs::FailAt(DiskOp op, int n, bool and_after) {
  base::MutexLock guard(&mutex_);
  const int i = static_cast<int>(op);
  faults_[i] = Fault{counts_[i] + n, and_after};
}

void FaultVfs::SetBusy(bool on, const std::string& file) {
  base::MutexLock guard(&mutex_);
  busy_ = on;
  busy_file_ = file;
}

void FaultVfs::SetFastSleep(bool on) {
  base::MutexLock guard(&mutex_);
  fast_sleep_ = on;
}

long long FaultVfs::Slept() const {
  base::MutexLock guard(&mutex_);
  return slept_;
}

bool FaultVfs::Sleep(int microseconds) {
  base::MutexLock guard(&mutex_);
  slept_ += microseconds;
  return !fast_sleep_;
}

void FaultVfs::Clear() {
  base::MutexLock guard(&mutex_);
  for (Fault& f : faults_) f = Fault{};
  busy_ = false;
  cut_at_sync_ = 0;
  cut_ = false;
}

void FaultVfs::CutPowerAtSync(int n) {
  base::MutexLock guard(&mutex_);
  cut_at_sync_ = counts_[static_cast<int>(DiskOp::kSync)] + n;
}

void FaultVfs::CutPower() {
  base::MutexLock guard(&mutex_);
  cut_ = true;
}

bool FaultVfs::PowerIsCut() const {
  base::MutexLock guard(&mutex_);
  return cut_;
}

int FaultVfs::Meet(DiskOp op, const std::string* path) {
  base::MutexLock guard(&mutex_);
  const int i = static_cast<int>(op);
  const int count = ++counts_[i];
  if (op == DiskOp::kSync && count == cut_at_sync_) cut_ = true;
  if (cut_) return op == DiskOp::kLock ? SQLITE_IOERR_LOCK : ErrorOf(op);
  if (op == DiskOp::kLock && busy_ &&
      (busy_file_.empty() ||
       (path != nullptr && path->size() >= busy_file_.size() &&
        path->compare(path->size() - busy_file_.size(), busy_file_.size(),
                      busy_file_) == 0))) {
    return SQLITE_BUSY;
  }
  const Fault& f = faults_[i];
  if (f.at != 0 && (count == f.at || (f.and_after && count > f.at)))
    return ErrorOf(op);
  return SQLITE_OK;
}

void FaultVfs::Track(const std::string& path, bool main_db) {
  base::MutexLock guard(&mutex_);
  auto [it, added] = files_.try_emplace(path);
  if (main_db) it->second.main_db = true;
  if (!added) return;
  // A file met for the first time is kept as the disk has it.
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  it->second.exists = true;
  it->second.bytes = bytes.str();
}

void FaultVfs::Synced(const std::string& path, std::string bytes) {
  base::MutexLock guard(&mutex_);
  FileState& state = files_[path];
  state.exists = true;
  state.bytes = std::move(bytes);
}

void FaultVfs::Deleted(const std::string& path) {
  base::MutexLock guard(&mutex_);
  auto it = files_.find(path);
  if (it == files_.end()) return;
  it->second.exists = false;
  it->second.bytes.clear();
}

void FaultVfs::MarkAllSynced() {
  base::MutexLock guard(&mutex_);
  for (auto& [path, state] : files_) {
    std::ifstream in(path, std::ios::binary);
    state.exists = static_cast<bool>(in);
    std::ostringstream bytes;
    if (in) bytes << in.rdbuf();
    state.bytes = bytes.str();
  }
}

void FaultVfs::RestoreSyncedFiles() {
  base::MutexLock guard(&mutex_);
  for (const auto& [path, state] : files_) {
    if (!state.exists) {
      unlink(path.c_str());
    } else {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(state.bytes.data(),
                static_cast<std::streamsize>(state.bytes.size()));
    }
    if (state.main_db) unlink((path + "-shm").c_str());
  }
  for (Fault& f : faults_) f = Fault{};
  busy_ = false;
  cut_at_sync_ = 0;
  cut_ = false;
}

}  // namespace testing_support
