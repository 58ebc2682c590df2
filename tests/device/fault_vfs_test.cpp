// The tests' disk-fault VFS itself: it fails exactly the operation it was
// told to and no other, and a power cut keeps what was synced and drops
// only what was not, file by file.
#include "tests/support/fault_vfs.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_image.h"

namespace {

using testing_support::DiskOp;
using testing_support::FaultVfs;

class FaultVfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::MakeTempDir("tarnvex-fault-vfs-");
    path_ = dir_ + "/t.db";
  }
  void TearDown() override {
    Close();
    std::filesystem::remove_all(dir_);
  }

  void Open() { ASSERT_EQ(sqlite3_open(path_.c_str(), &db_), SQLITE_OK); }
  void Close() {
    sqlite3_close(db_);
    db_ = nullptr;
  }
  int Exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }
  int Rows() {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT COUNT(*) FROM t;", -1, &stmt,
                           nullptr) != SQLITE_OK) {
      return -1;
    }
    const int rows =
        sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return rows;
  }
  std::string Integrity() {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db_, "PRAGMA integrity_check;", -1, &stmt, nullptr);
    std::string result =
        sqlite3_step(stmt) == SQLITE_ROW
            ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))
            : sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
    return result;
  }

  std::string dir_, path_;
  sqlite3* db_ = nullptr;
};

TEST_F(FaultVfsTest, TheNthOperationOfAKindFailsAndOnlyIt) {
  FaultVfs vfs;
  ASSERT_NO_FATAL_FAILURE(Open());
  ASSERT_EQ(Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                 "CREATE TABLE t (a);"),
            SQLITE_OK);
  EXPECT_GT(vfs.Count(DiskOp::kWrite), 0);
  EXPECT_GT(vfs.Count(DiskOp::kSync), 0);

  // Each commit of the log writes and syncs: the second write from now and
  // the next sync fail that commit, and the next commit goes through.
  vfs.FailAt(DiskOp::kWrite, 2);
  EXPECT_EQ(Exec("INSERT INTO t VALUES (1);"), SQLITE_IOERR);
  EXPECT_EQ(sqlite3_extended_errcode(db_), SQLITE_IOERR_WRITE);
  EXPECT_EQ(Exec("INSERT INTO t VALUES (2);"), SQLITE_OK);
  const int syncs = vfs.Count(DiskOp::kSync);
  vfs.FailAt(DiskOp::kSync, 1);
  EXPECT_EQ(Exec("INSERT INTO t VALUES (3);"), SQLITE_IOERR);
  EXPECT_EQ(sqlite3_extended_errcode(db_), SQLITE_IOERR_FSYNC);
  EXPECT_EQ(vfs.Count(DiskOp::kSync), syncs + 1);
  EXPECT_EQ(Exec("INSERT INTO t VALUES (4);"), SQLITE_OK);
  EXPECT_EQ(Rows(), 2);

  // A fresh connection reads the file: its first read fails, the next try
  // reads.
  Close();
  ASSERT_NO_FATAL_FAILURE(Open());
  vfs.FailAt(DiskOp::kRead, 1);
  EXPECT_EQ(Rows(), -1);
  EXPECT_EQ(Rows(), 2);

  // The write lock answers busy, every time while busy is on, as while
  // another program holds the file; reading goes on.
  sqlite3_busy_timeout(db_, 0);
  vfs.FailAt(DiskOp::kLock, 1);
  EXPECT_EQ(Exec("BEGIN IMMEDIATE; ROLLBACK;"), SQLITE_BUSY);
  EXPECT_EQ(Exec("BEGIN IMMEDIATE; ROLLBACK;"), SQLITE_OK);
  vfs.SetBusy(true);
  EXPECT_EQ(Rows(), 2);
  const int locks = vfs.Count(DiskOp::kLock);
  EXPECT_EQ(Exec("INSERT INTO t VALUES (5);"), SQLITE_BUSY);
  EXPECT_EQ(Exec("INSERT INTO t VALUES (5);"), SQLITE_BUSY);
  EXPECT_GE(vfs.Count(DiskOp::kLock), locks + 2);
  // Only the file named is busy; with fast sleeps a wait of ten seconds
  // for it passes at once, counted as slept.
  vfs.SetBusy(true, "/other.db");
  EXPECT_EQ(Exec("BEGIN IMMEDIATE; ROLLBACK;"), SQLITE_OK);
  vfs.SetBusy(true, "/t.db");
  vfs.SetFastSleep(true);
  sqlite3_busy_timeout(db_, 10000);
  const long long slept = vfs.Slept();
  EXPECT_EQ(Exec("INSERT INTO t VALUES (5);"), SQLITE_BUSY);
  EXPECT_GE(vfs.Slept() - slept, 10000 * 1000LL);
  vfs.SetBusy(false);
  EXPECT_EQ(Exec("INSERT INTO t VALUES (5);"), SQLITE_OK);
  EXPECT_EQ(Rows(), 3);
  Close();  // before the shim goes
}

// Both journal modes: the log and the database file each keep their own
// last sync.
TEST_F(FaultVfsTest, APowerCutDropsWhatWasNotSyncedAndKeepsWhatWas) {
  for (const char* mode : {"WAL", "DELETE"}) {
    SCOPED_TRACE(mode);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    FaultVfs vfs;
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Exec(std::string("PRAGMA journal_mode=") + mode +
                   "; PRAGMA synchronous=FULL; CREATE TABLE t (a);"
                   "INSERT INTO t VALUES (1);"),
              SQLITE_OK);
    // Written but never synced: gone after the cut.
    ASSERT_EQ(Exec("PRAGMA synchronous=OFF; INSERT INTO t VALUES (2);"),
              SQLITE_OK);
    EXPECT_EQ(Rows(), 2);
    vfs.CutPower();
    EXPECT_NE(Exec("INSERT INTO t VALUES (3);"), SQLITE_OK);
    Close();
    vfs.RestoreSyncedFiles();
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(Integrity(), "ok");

    // A cut at a commit's sync: the commit fails and leaves nothing.
    ASSERT_EQ(Exec("PRAGMA synchronous=FULL;"), SQLITE_OK);
    vfs.CutPowerAtSync(1);
    EXPECT_EQ(Exec("INSERT INTO t VALUES (4);"), SQLITE_IOERR);
    EXPECT_TRUE(vfs.PowerIsCut());
    Close();
    vfs.RestoreSyncedFiles();
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(Integrity(), "ok");
    EXPECT_FALSE(std::filesystem::exists(path_ + "-journal"));
    Close();
  }
}

}  // namespace
