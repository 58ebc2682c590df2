// A VFS for tests that puts disk faults under SQLite, as SQLite's own crash
// and I/O-error tests do: registered over the default (unix) VFS, it counts
// reads, writes, syncs and requests for the write lock, fails the n-th of a
// kind (an I/O error for a read, write or sync, SQLITE_BUSY for a lock, as
// while another program writes), and cuts the
// power: every write not yet synced is dropped, each file keeping its bytes
// as of its own last sync (the database, its write-ahead log and a journal
// each on their own), and the -shm files, which live in memory on a real
// device, are gone.
//
// Made the default VFS, it sits under every connection the process opens,
// the message service's included, with no hook in the program. One FaultVfs
// at a time; the test that makes it owns it. Its syncs are the snapshots it
// keeps, never real fsyncs: a test's files need not reach the platter.
#ifndef TARNVEX_TESTS_SUPPORT_FAULT_VFS_H_
#define TARNVEX_TESTS_SUPPORT_FAULT_VFS_H_

#include <sqlite3.h>

#include <map>
#include <string>

#include "base/mutex.h"

namespace testing_support {

enum class DiskOp { kRead, kWrite, kSync, kLock };

class FaultVfs {
 public:
  static constexpr char kName[] = "tarnvex-fault";

  // Registers the shim, as the default VFS when `make_default`.
  explicit FaultVfs(bool make_default = true);
  // Unregisters it; the VFS that was the default before is the default again.
  // Every connection opened through it must be closed first.
  ~FaultVfs();
  FaultVfs(const FaultVfs&) = delete;
  FaultVfs& operator=(const FaultVfs&) = delete;

  // Operations of a kind since the shim was made or the counts were reset.
  int Count(DiskOp op) const EXCLUDES(mutex_);
  // Counts from 0 again; the faults set at a count are dropped with them.
  void ResetCounts() EXCLUDES(mutex_);

  // The n-th operation of `op` from now (1: the next) fails; with
  // `and_after`, every later one too, until Clear().
  void FailAt(DiskOp op, int n, bool and_after = false) EXCLUDES(mutex_);
  // Every request for the write lock of a file whose path ends with `file`
  // ("" for every file) answers SQLITE_BUSY while on, as while another
  // program holds the file; they are counted all the same.
  void SetBusy(bool on, const std::string& file = "") EXCLUDES(mutex_);
  // Sleeps (a busy handler's pauses) return at once while on, so a wait
  // of seconds for a lock passes in no time; they count as slept either
  // way.
  void SetFastSleep(bool on) EXCLUDES(mutex_);
  // Microseconds slept since the shim was made or the counts were reset.
  long long Slept() const EXCLUDES(mutex_);
  void Clear() EXCLUDES(mutex_);  // no fault set, power on

  // The power is cut at the n-th sync from now: that sync is not made, and
  // every read, write, sync, lock and delete after it fails (the process is
  // dead to the disk). CutPower() cuts it at once.
  void CutPowerAtSync(int n) EXCLUDES(mutex_);
  void CutPower() EXCLUDES(mutex_);
  bool PowerIsCut() const EXCLUDES(mutex_);

  // The files as they are now count as synced (a test's starting point).
  void MarkAllSynced() EXCLUDES(mutex_);
  // After a cut, once every connection through the shim is closed: puts each
  // file back to its bytes at its last sync (a file never synced is
  // removed), removes the -shm files and turns the power on again.
  void RestoreSyncedFiles() EXCLUDES(mutex_);

  // For the shim's file methods (fault_vfs.cpp).
  struct Fault {
    int at = 0;  // the count of the operation that fails; 0: none
    bool and_after = false;
  };
  // Counts one operation on the file at `path` (null when it has no name);
  // the SQLite code it must fail with, or SQLITE_OK.
  int Meet(DiskOp op, const std::string* path) EXCLUDES(mutex_);
  // Whether a sleep of `microseconds` is to be made.
  bool Sleep(int microseconds) EXCLUDES(mutex_);
  void Track(const std::string& path, bool main_db) EXCLUDES(mutex_);
  void Synced(const std::string& path, std::string bytes) EXCLUDES(mutex_);
  void Deleted(const std::string& path) EXCLUDES(mutex_);

 private:
  struct FileState {
    bool exists = false;  // as of the last sync
    std::string bytes;
    bool main_db = false;
  };

  mutable base::Mutex mutex_;
  int counts_[4] GUARDED_BY(mutex_) = {0, 0, 0, 0};
  Fault faults_[4] GUARDED_BY(mutex_);
  bool busy_ GUARDED_BY(mutex_) = false;
  std::string busy_file_ GUARDED_BY(mutex_);
  bool fast_sleep_ GUARDED_BY(mutex_) = false;
  long long slept_ GUARDED_BY(mutex_) = 0;
  int cut_at_sync_ GUARDED_BY(mutex_) = 0;  // a count of syncs; 0: none
  bool cut_ GUARDED_BY(mutex_) = false;
  std::map<std::string, FileState> files_ GUARDED_BY(mutex_);
  sqlite3_vfs vfs_{};
  sqlite3_vfs* previous_default_ = nullptr;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_SUPPORT_FAULT_VFS_H_
