// The program itself with real processes: one instance at a time, and a
// message from the messaging application to an uncovered number closes that
// window and is listed under "Blocked" without any user action.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "device/service/service.h"
#include "device/window_registry.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace {

using testing_support::BinPath;
using testing_support::ChildProcess;
using testing_support::RunProgram;

template <typename Predicate>
bool Eventually(Predicate done, int timeout_ms = 15000) {
  auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = std::make_unique<testing_support::TempImage>();
    ASSERT_EQ(RunProgram({BinPath("tarnvex-device"), "--root", image_->root(),
                          "init"}),
              0);
    env_ = {"TARNVEX_DEVICE=" + image_->root(), "QT_QPA_PLATFORM=offscreen",
            "TARNVEX_DEBUG=1"};
  }
  void TearDown() override {
    tarnvex_.Kill();
    device::CloseMessageService();
    image_.reset();
  }
  void StartTarnvex() {
    ASSERT_TRUE(
        tarnvex_.Start({BinPath("Tarnvex")}, env_, /*merge_stderr=*/true));
    ASSERT_TRUE(Eventually(
        [] { return device::FindWindowByClass(u"ClassName").has_value(); }));
  }
  // Monitoring runs once the first list refill after entering the stores
  // has been made.
  void WaitForMonitoring() {
    std::string line;
    ASSERT_TRUE(tarnvex_.WaitForLine("Browser lists", &line, 20000));
  }
  std::unique_ptr<testing_support::TempImage> image_;
  std::vector<std::string> env_;
  ChildProcess tarnvex_;
};

TEST_F(ProgramTest, ASecondStartRaisesTheFirstAndEndsWithMinusOne) {
  StartTarnvex();
  WaitForMonitoring();
  // Without its summary database on disk, a second start that opened its
  // databases would make it again. (The rules file is not the test's
  // witness: the running instance makes a removed rules file again itself.)
  std::string dba = image_->root() + "/Program Files/Tarnvex/dba/";
  ASSERT_TRUE(std::filesystem::remove(dba + "Tarnvex_0.db"));
  ChildProcess second;
  ASSERT_TRUE(second.Start({BinPath("Tarnvex")}, env_));
  int status = 0;
  ASSERT_TRUE(second.Wait(10000, &status));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);  // -1
  EXPECT_TRUE(tarnvex_.running());
  int first_status = 0;
  EXPECT_FALSE(tarnvex_.Wait(100, &first_status));
  EXPECT_FALSE(std::filesystem::exists(dba + "Tarnvex_0.db"));
}

TEST_F(ProgramTest,
       AnUncoveredMessageClosesTheComposeWindowAndIsListedAsBlocked) {
  StartTarnvex();
  WaitForMonitoring();
  ChildProcess compose;
  ASSERT_TRUE(
      compose.Start({BinPath("tarnvex-device"), "--root", image_->root(),
                     "messaging", "--store", "SMS", "--headless"}));
  ASSERT_TRUE(compose.WaitForLine("ready"));
  ASSERT_EQ(RunProgram({BinPath("tarnvex-device"), "--root", image_->root(),
                        "send", "--store", "SMS", "--to", "555 0199",
                        "--subject", "Lunch", "--body", "At noon"}),
            0);
  int status = 0;
  ASSERT_TRUE(compose.Wait(10000, &status));
  EXPECT_TRUE(WIFSIGNALED(status));
  std::string line;
  bool listed = false;
  while (!listed && tarnvex_.ReadLine(&line, 15000)) {
    if (line.find("Browser lists 1 entries") != std::string::npos &&
        line.find("Blocked") != std::string::npos) {
      listed = true;
    }
  }
  EXPECT_TRUE(listed);
  ASSERT_TRUE(tarnvex_.ReadLine(&line));
  EXPECT_NE(line.find("5550199"), std::string::npos) << line;
  EXPECT_NE(line.find("Lunch  at noon"), std::string::npos) << line;
}

}  // namespace
