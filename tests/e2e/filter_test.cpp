// The filter end to end with real processes on a temporary device image: the
// transport (tarnvex-device run), the messaging application's compose window
// (tarnvex-device messaging --headless), the filter without a window
// (filter_host), and messages sent with tarnvex-device send.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/service/service.h"
#include "storage/locations.h"
#include "storage/message_db.h"
#include "storage/rules_db.h"
#include "storage/statement.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"
#include "text/md4.h"

namespace {

using testing_support::BinPath;
using testing_support::ChildProcess;
using testing_support::RunProgram;

constexpr int kSendDelayMs = 400;

template <typename Predicate>
bool Eventually(Predicate done, int timeout_ms = 8000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

struct Record {
  int id = 0;
  int status = -1;
  std::string recipients, hash;
};

class FilterEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    storage::ResetLocations();
    CloseRulesDb();
    image_ = std::make_unique<testing_support::TempImage>();
    env_ = {"TARNVEX_DEVICE=" + image_->root()};
    ASSERT_EQ(RunProgram({BinPath("tarnvex-device"), "--root", image_->root(), "init"}), 0);
    ASSERT_TRUE(transport_.Start({BinPath("tarnvex-device"), "--root", image_->root(), "run",
                                  "--send-delay-ms", std::to_string(kSendDelayMs)}));
    ASSERT_TRUE(transport_.WaitForLine("transport running"));
  }

  void TearDown() override {
    if (host_) host_->Kill();
    transport_.Kill();
    compose_.Kill();
    CloseRulesDb();
    device::CloseMessageService();
    image_.reset();
  }

  void StartHost() {
    host_ = std::make_unique<ChildProcess>();
    ASSERT_TRUE(host_->Start({BinPath("filter_host")}, env_));
    std::string line;
    ASSERT_TRUE(host_->WaitForLine("monitoring", &line, 15000));
    EXPECT_EQ(line, "monitoring 3");  // SMS, MMS, E-mail; not ActiveSync
    // This process reads and writes the same databases.
    storage::ResetLocations();
    FindInstallFolder();
    std::string path, table;
    ASSERT_TRUE(GetMessageDbPath(&path, &table));
  }

  void HostCommand(const std::string& command, const std::string& answer) {
    ASSERT_TRUE(host_->WriteLine(command));
    std::string line;
    ASSERT_TRUE(host_->WaitForLine(answer, &line)) << command;
  }

  void AddCoveringRule(const char* recipients) {
    ASSERT_TRUE(AddRule("", recipients, "", 90.0));
    CloseRulesDb();
    HostCommand("rules-changed", "ok");
  }

  void OpenCompose() {
    ASSERT_TRUE(compose_.Start({BinPath("tarnvex-device"), "--root", image_->root(),
                                "messaging", "--store", "SMS", "--headless"}));
    ASSERT_TRUE(compose_.WaitForLine("ready"));
  }

  int64_t Send(const std::vector<std::string>& to, const std::string& subject = "Hello",
               const std::string& body = "See you at noon") {
    std::vector<std::string> argv = {BinPath("tarnvex-device"), "--root", image_->root(),
                                     "send", "--store", "SMS", "--subject", subject,
                                     "--from", "Anna <anna@example.org>", "--body", body};
    for (const std::string& t : to) {
      argv.push_back("--to");
      argv.push_back(t);
    }
    std::string out;
    EXPECT_EQ(RunProgram(argv, &out), 0);
    return std::atoll(out.c_str());
  }

  std::string FolderOf(int64_t id) {
    device::ServiceMessage m;
    return device::GetServiceMessage(id, &m) ? m.folder_path : "";
  }

  std::vector<Record> Records(const char* store = "SMS") {
    std::vector<Record> out;
    sqlite3* db = nullptr;
    std::string path = StoreDbPath(store);
    if (storage::OpenCeDatabase(path.c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT Id, Status, Recipients, Hash FROM Msg ORDER BY Id;",
                             -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
          Record r;
          r.id = sqlite3_column_int(stmt, 0);
          r.status = sqlite3_column_int(stmt, 1);
          auto text = [&](int c) {
            const unsigned char* t = sqlite3_column_text(stmt, c);
            return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
          };
          r.recipients = text(2);
          r.hash = text(3);
          out.push_back(r);
        }
      }
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
  }

  std::unique_ptr<testing_support::TempImage> image_;
  std::vector<std::string> env_;
  ChildProcess transport_;
  ChildProcess compose_;
  std::unique_ptr<ChildProcess> host_;
};

TEST_F(FilterEndToEndTest, UncoveredSmsIsHeldTheComposeWindowClosedAndRecorded) {
  StartHost();
  OpenCompose();
  int64_t id = Send({"555 0199"});
  ASSERT_GT(id, 0);
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));

  // The compose window was hidden and its process ended.
  std::string line;
  EXPECT_TRUE(compose_.WaitForLine("hidden", &line, 3000));
  int status = 0;
  ASSERT_TRUE(compose_.Wait(5000, &status));
  EXPECT_TRUE(WIFSIGNALED(status));

  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  Record r = Records()[0];
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.recipients, "5550199");
  EXPECT_EQ(r.hash, HashTextOf("See you at noon Anna 5550199 Hello"));

  // Never sent, and recorded only once by later passes.
  std::this_thread::sleep_for(std::chrono::milliseconds(kSendDelayMs * 3));
  EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");
  EXPECT_EQ(Records().size(), 1u);
}

TEST_F(FilterEndToEndTest, CoveredSmsIsSentAndNotRecorded) {
  StartHost();
  AddCoveringRule("5550199");
  OpenCompose();
  int64_t id = Send({"555 0199"});
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
  EXPECT_TRUE(compose_.running());
  int status = 0;
  EXPECT_FALSE(compose_.Wait(200, &status));
  EXPECT_TRUE(Records().empty());
}

TEST_F(FilterEndToEndTest, OneUncoveredRecipientHoldsTheMessage) {
  StartHost();
  AddCoveringRule("5550199");
  int64_t id = Send({"5550199", "5550111"});
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  EXPECT_EQ(Records()[0].recipients, "5550199,5550111");
}

TEST_F(FilterEndToEndTest, ARuleAddedLaterReleasesTheHeldMessage) {
  StartHost();
  int64_t id = Send({"555 0199"});
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  EXPECT_EQ(Records()[0].status, 0);

  AddCoveringRule("5550199");
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
  std::vector<Record> records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].status, 1);
}

TEST_F(FilterEndToEndTest, AMessageHeldButNotRecordedBeforeACrashIsRecordedAfterRestart) {
  StartHost();
  HostCommand("pause", "paused 1");
  int64_t id = Send({"5550123"});
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(Records().empty());  // the paused worker touched nothing
  host_->Kill(SIGKILL);

  StartHost();
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Records().size(), 1u);
  EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");
  EXPECT_EQ(device::ListMessages("SMS", "").size(), 1u);
}

TEST_F(FilterEndToEndTest, PauseTwiceThenResumeOnceRunsTheWorkerAgain) {
  StartHost();
  HostCommand("pause", "paused 1");
  HostCommand("pause", "paused 0");
  int64_t id = Send({"5550124"});
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(Records().empty());
  HostCommand("resume", "resumed 1");
  HostCommand("resume", "resumed 0");
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
}

}  // namespace
