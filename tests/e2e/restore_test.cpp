// A backup of the service file put back while the filter runs: the journal
// starts again from an earlier entry, and the filter's record of what it has
// handled speaks of the journal before. Nothing uncovered may go until the
// filter has judged what the restored file holds; what is covered goes again
// after that. Real processes on a temporary device image, the filter
// registered as an installed Tarnvex is.
#include <dirent.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/filter_fixture.h"

namespace {

using testing_support::Eventually;
using testing_support::FilterEndToEndTest;

constexpr char kCovered[] = "5550140";

class RestoreTest : public FilterEndToEndTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FilterEndToEndTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(RegisterFilter());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    ASSERT_NO_FATAL_FAILURE(AddCoveringRule(kCovered));
    backup_ = image_->root() + ".backup.db";
  }
  void TearDown() override {
    FilterEndToEndTest::TearDown();
    unlink(backup_.c_str());
  }

  // Sends `count` uncovered messages, each held before the next goes: the
  // journal grows by their arrivals and holds.
  void SendHeld(int count, int first_number) {
    for (int i = 0; i < count; ++i) {
      const int64_t id = Send({std::to_string(first_number + i)});
      ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }))
          << id;
    }
  }

  // Copies `from` into `to` with SQLite's backup API (what the sqlite3
  // shell's .backup and .restore do), while others use either file.
  static void Copy(const std::string& from, const std::string& to) {
    sqlite3* source = nullptr;
    sqlite3* target = nullptr;
    ASSERT_EQ(sqlite3_open(from.c_str(), &source), SQLITE_OK);
    ASSERT_EQ(sqlite3_open(to.c_str(), &target), SQLITE_OK);
    sqlite3_busy_timeout(target, 5000);
    sqlite3_backup* backup =
        sqlite3_backup_init(target, "main", source, "main");
    ASSERT_NE(backup, nullptr) << sqlite3_errmsg(target);
    int rc = SQLITE_OK;
    for (int tries = 0; tries < 500; ++tries) {
      rc = sqlite3_backup_step(backup, -1);
      if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(rc, SQLITE_DONE);
    EXPECT_EQ(sqlite3_backup_finish(backup), SQLITE_OK);
    sqlite3_close(target);
    sqlite3_close(source);
  }

  // True while `pid` holds a service file that is no longer the one at its
  // path.
  static bool HoldsReplacedFile(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    const std::string gone = device::MessageServicePath() + " (deleted)";
    DIR* fds = opendir(dir.c_str());
    if (fds == nullptr) return false;
    bool holds = false;
    while (dirent* fd = readdir(fds)) {
      char target[4096];
      ssize_t n =
          readlink((dir + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      holds = holds || gone == target;
    }
    closedir(fds);
    return holds;
  }

  // Ten uncovered messages sent after the restore: each one ends held, and
  // none reaches Sent Items. Then a covered one still goes.
  void ExpectNothingUncoveredGoes() {
    std::vector<int64_t> ids;
    for (int i = 0; i < 10; ++i)
      ids.push_back(Send({"55502" + std::to_string(10 + i)}));
    for (int64_t id : ids) {
      EXPECT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }))
          << "message " << id << " is in " << FolderOf(id);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(SendDelayMs() * 2));
    int sent = 0;
    for (int64_t id : ids) sent += FolderOf(id) == "Sent Items" ? 1 : 0;
    EXPECT_EQ(sent, 0) << "of " << ids.size();

    const int64_t covered = Send({kCovered});
    EXPECT_TRUE(Eventually([&] { return FolderOf(covered) == "Sent Items"; }));
  }

  std::string backup_;
};

TEST_F(RestoreTest, ABackupRestoredIntoTheLiveFileLetsNothingUncoveredGo) {
  ASSERT_NO_FATAL_FAILURE(SendHeld(1, 5550100));
  ASSERT_NO_FATAL_FAILURE(Copy(device::MessageServicePath(), backup_));
  ASSERT_NO_FATAL_FAILURE(SendHeld(12, 5550110));
  // Written back into the file everybody has open, as the sqlite3 shell's
  // .restore does.
  ASSERT_NO_FATAL_FAILURE(Copy(backup_, device::MessageServicePath()));
  ExpectNothingUncoveredGoes();
}

TEST_F(RestoreTest, ABackupRenamedOverTheLiveFileLetsNothingUncoveredGo) {
  ASSERT_NO_FATAL_FAILURE(SendHeld(1, 5550100));
  ASSERT_NO_FATAL_FAILURE(Copy(device::MessageServicePath(), backup_));
  ASSERT_NO_FATAL_FAILURE(SendHeld(12, 5550110));
  // The transport stopped, its log written into the file, a copy of the
  // backup renamed over the live file; the filter runs on.
  transport_.Kill();
  device::CloseMessageService();
  ServiceExec("PRAGMA wal_checkpoint(TRUNCATE);");
  const std::string path = device::MessageServicePath();
  const std::string copy = path + ".restoring";
  ASSERT_TRUE(std::filesystem::copy_file(backup_, copy));
  ASSERT_EQ(rename(copy.c_str(), path.c_str()), 0);
  // Started again once the filter has let go of the file it had open (two
  // programs on two files with one write-ahead log would spoil both).
  EXPECT_TRUE(Eventually([&] { return !HoldsReplacedFile(host_->pid()); }))
      << "the filter still reads the replaced file";
  ASSERT_NO_FATAL_FAILURE(StartTransport());
  ExpectNothingUncoveredGoes();
}

}  // namespace
