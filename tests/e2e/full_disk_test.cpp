// A full disk at the start and while the filter runs: the device image on a
// small tmpfs of its own, filled to the last byte and freed again. Whatever
// the filter could not make while the disk was full (its listener record,
// its databases and tables, the held folders, the records) is made again
// once there is room, without a restart, and every waiting message is
// judged; nothing uncovered is sent meanwhile.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "tests/e2e/filter_fixture.h"

namespace {

using testing_support::BinPath;
using testing_support::Eventually;
using testing_support::FilterEndToEndTest;
using testing_support::RunProgram;

class FullDiskTest : public FilterEndToEndTest {
 protected:
  void SetUp() override {
    mount_ = testing_support::MakeTempDir("tarnvex-tmpfs-");
    if (mount("tmpfs", mount_.c_str(), "tmpfs", 0, "size=48m,mode=0700") != 0) {
      const int error = errno;
      rmdir(mount_.c_str());
      mount_.clear();
      GTEST_SKIP() << "no tmpfs of the test's own: " << std::strerror(error);
    }
    const char* old = getenv("TMPDIR");
    if (old != nullptr) old_tmpdir_ = old;
    setenv("TMPDIR", mount_.c_str(), 1);  // the image is made in the tmpfs
    FilterEndToEndTest::SetUp();
    ASSERT_EQ(
        RunProgram({BinPath("tarnvex-device"), "--root", image_->root(),
                    "filter", "add", "filter_host", "--except", "ActiveSync"}),
        0);
  }
  void TearDown() override {
    if (mount_.empty()) return;
    Free();
    FilterEndToEndTest::TearDown();
    if (old_tmpdir_.empty()) {
      unsetenv("TMPDIR");
    } else {
      setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    }
    umount2(mount_.c_str(), MNT_DETACH);
    rmdir(mount_.c_str());
  }

  // Fills the tmpfs to its last byte.
  void Fill() {
    int fd = open((mount_ + "/filler").c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    static char block[64 * 1024];
    for (size_t size = sizeof block; size > 0;) {
      if (write(fd, block, size) < 0) {
        ASSERT_EQ(errno, ENOSPC);
        size /= 2;
      }
    }
    close(fd);
  }
  void Free() { unlink((mount_ + "/filler").c_str()); }

  // The messages of all stores and whether each is held and recorded.
  bool AllHeldAndRecorded(
      const std::vector<std::pair<std::string, int64_t>>& messages) {
    std::map<std::string, size_t> held;
    for (const auto& [store, id] : messages) {
      if (FolderOf(id) != "Outbox\\Tarnvex") return false;
      ++held[store];
    }
    FindDatabases();
    for (const auto& [store, count] : held) {
      if (Records(store.c_str()).size() != count) return false;
    }
    return true;
  }

  std::string mount_;
  std::string old_tmpdir_;
};

TEST_F(FullDiskTest, StartedOnAFullDiskTheWatchStandsOnceThereIsRoom) {
  std::vector<std::pair<std::string, int64_t>> messages;
  for (int i = 0; i < 6; ++i) {
    const std::string store = i % 2 == 0 ? "SMS" : "MMS";
    messages.push_back(
        {store, SendTo(store, {"55502" + std::to_string(10 + i)})});
  }
  // The filter's own files are not made yet: they come at its first start.
  Fill();
  host_ = std::make_unique<testing_support::ChildProcess>();
  ASSERT_TRUE(host_->Start({BinPath("filter_host")}, env_));
  std::string line;
  ASSERT_TRUE(host_->WaitForLine("problem", &line, 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  for (const auto& [store, id] : messages)
    EXPECT_NE(FolderOf(id), "Sent Items") << id;

  Free();
  ASSERT_TRUE(host_->WaitForLine("problem gone", &line, 5000));
  EXPECT_TRUE(Eventually([&] { return AllHeldAndRecorded(messages); }, 5000));
  // And the filter works on as if the disk had never been full.
  messages.push_back({"SMS", Send({"5550299"})});
  EXPECT_TRUE(Eventually([&] { return AllHeldAndRecorded(messages); }, 5000));
  for (const auto& [store, id] : messages)
    EXPECT_NE(FolderOf(id), "Sent Items") << id;
}

TEST_F(FullDiskTest, AFullDiskWhileRunningHoldsAndRecordsOnceThereIsRoom) {
  StartHost();
  HostCommand("pause", "paused 1");
  std::vector<std::pair<std::string, int64_t>> messages;
  for (int i = 0; i < 4; ++i)
    messages.push_back({"SMS", Send({"55503" + std::to_string(10 + i)})});
  ASSERT_TRUE(Eventually([&] {
    for (const auto& [store, id] : messages)
      if (FolderOf(id) != "Outbox\\Tarnvex") return false;
    return true;
  }));
  Fill();
  HostCommand("resume", "resumed 1");
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  Free();
  EXPECT_TRUE(Eventually([&] { return AllHeldAndRecorded(messages); }, 5000));
  for (const auto& [store, id] : messages)
    EXPECT_NE(FolderOf(id), "Sent Items") << id;
}

}  // namespace
