// The end-to-end fixture: a temporary device image with the transport
// (tarnvex-device run), the messaging application's compose window
// (tarnvex-device messaging --headless), the filter without a window
// (filter_host), and messages sent with tarnvex-device send.
#ifndef TARNVEX_TESTS_E2E_FILTER_FIXTURE_H_
#define TARNVEX_TESTS_E2E_FILTER_FIXTURE_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/image.h"
#include "device/service/service.h"
#include "device/service/service_db.h"
#include "storage/locations.h"
#include "storage/rules_db.h"
#include "storage/statement.h"
#include "tests/support/child_process.h"
#include "tests/support/device_tool.h"
#include "tests/support/service_file.h"
#include "tests/support/temp_image.h"
#include "text/md4.h"

namespace testing_support {

inline constexpr int kSendDelayMs = 400;

template <typename Predicate>
inline bool Eventually(Predicate done, int timeout_ms = 8000) {
  auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// The message behind the fields the device puts in front of what it takes
// in (trace_fields.h), which must be exactly `names` in that order (each
// with its continuation lines); else a text that says what was found.
inline std::string AfterAddedFields(const std::string& raw,
                                    const std::vector<std::string>& names) {
  size_t pos = 0;
  for (const std::string& name : names) {
    if (raw.compare(pos, name.size() + 2, name + ": ") != 0)
      return "<no " + name + " field at " + raw.substr(pos, 40) + ">";
    do {
      const size_t nl = raw.find('\n', pos);
      if (nl == std::string::npos) return "<" + name + " not ended>";
      pos = nl + 1;
    } while (pos < raw.size() && (raw[pos] == ' ' || raw[pos] == '\t'));
  }
  return raw.substr(pos);
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
    ASSERT_EQ(RunProgram({BinPath("tarnvex-device"), "--root", image_->root(),
                          "init"}),
              0);
    StartTransport();
  }

  void TearDown() override {
    if (host_) host_->Kill();
    transport_.Kill();
    compose_.Kill();
    CloseRulesDb();
    device::CloseMessageService();
    image_.reset();
  }

  // How long the transport lets a message lie in an Outbox before it sends
  // it.
  virtual int SendDelayMs() const { return kSendDelayMs; }
  // Whether the transport serves SMTP submission (on a free port, said in
  // submission_port_).
  virtual bool ServesSubmission() const { return false; }
  // More arguments for `tarnvex-device run`.
  virtual std::vector<std::string> TransportArgs() const { return {}; }

  void StartTransport() {
    std::vector<std::string> argv = {BinPath("tarnvex-device"),
                                     "--root",
                                     image_->root(),
                                     "run",
                                     "--send-delay-ms",
                                     std::to_string(SendDelayMs())};
    if (ServesSubmission()) {
      argv.insert(argv.end(), {"--submission-port", "0"});
    } else {
      argv.push_back("--no-submission");
    }
    const std::vector<std::string> more = TransportArgs();
    argv.insert(argv.end(), more.begin(), more.end());
    ASSERT_TRUE(transport_.Start(argv));
    std::string line;
    if (ServesSubmission()) {
      ASSERT_TRUE(
          transport_.WaitForLine("submission server on 127.0.0.1:", &line));
      submission_port_ = std::atoi(line.c_str() + 31);
      ASSERT_GT(submission_port_, 0) << line;
    }
    ASSERT_TRUE(transport_.WaitForLine("transport running"));
  }

  // The image has its filter, as an image with Tarnvex installed has.
  void RegisterFilter() {
    ASSERT_EQ(
        RunProgram({BinPath("tarnvex-device"), "--root", image_->root(),
                    "filter", "add", "filter_host", "--except", "ActiveSync"}),
        0);
  }

  void StartHost() {
    host_ = std::make_unique<ChildProcess>();
    ASSERT_TRUE(host_->Start({BinPath("filter_host")}, env_));
    std::string line;
    ASSERT_TRUE(host_->WaitForLine("monitoring", &line, 15000));
    EXPECT_EQ(line, "monitoring 3");  // SMS, MMS, E-mail; not ActiveSync
    FindDatabases();
  }

  // This process reads and writes the same databases as the filter.
  void FindDatabases() {
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
    ASSERT_TRUE(AddRule("", recipients, "", 90.0).ok());
    CloseRulesDb();
    HostCommand("rules-changed", "ok");
  }

  void OpenCompose() {
    ASSERT_TRUE(
        compose_.Start({BinPath("tarnvex-device"), "--root", image_->root(),
                        "messaging", "--store", "SMS", "--headless"}));
    ASSERT_TRUE(compose_.WaitForLine("ready"));
  }

  int64_t Send(const std::vector<std::string>& to,
               const std::string& subject = "Hello",
               const std::string& body = "See you at noon") {
    return SendTo("SMS", to, subject, body);
  }

  int64_t SendTo(const std::string& store, const std::vector<std::string>& to,
                 const std::string& subject = "Hello",
                 const std::string& body = "See you at noon") {
    std::vector<std::string> argv = {BinPath("tarnvex-device"),
                                     "--root",
                                     image_->root(),
                                     "send",
                                     "--store",
                                     store,
                                     "--subject",
                                     subject,
                                     "--from",
                                     "Anna <anna@example.org>",
                                     "--body",
                                     body};
    for (const std::string& t : to) {
      argv.push_back("--to");
      argv.push_back(t);
    }
    std::string out;
    EXPECT_EQ(RunProgram(argv, &out), 0);
    return testing_support::SavedMessageId(out);
  }

  std::string FolderOf(int64_t id) {
    device::ServiceMessage m;
    return device::GetServiceMessage(id, &m) ? m.folder_path : "";
  }

  std::vector<Record> Records(const char* store = "SMS") {
    std::vector<Record> out;
    sqlite3* db = nullptr;
    std::string path = StoreDbPath(store);
    if (storage::OpenCeDatabase(path.c_str(), &db).ok()) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(
              db, "SELECT Id, Status, Recipients, Hash FROM Msg ORDER BY Id;",
              -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
          Record r;
          r.id = sqlite3_column_int(stmt, 0);
          r.status = sqlite3_column_int(stmt, 1);
          auto text = [&](int c) {
            const unsigned char* t = sqlite3_column_text(stmt, c);
            return t ? std::string(reinterpret_cast<const char*>(t))
                     : std::string();
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

  // How often the message was moved, from the service's change journal.
  int MovesOf(int64_t id) {
    int moves = -1;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(device::MessageServicePath().c_str(), &db,
                        SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 5000);
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(
              db,
              "SELECT COUNT(*) FROM journal WHERE kind = 77 AND object = ? "
              "AND event = 32;",
              -1, &stmt, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(stmt, 1, id);
        if (sqlite3_step(stmt) == SQLITE_ROW)
          moves = sqlite3_column_int(stmt, 0);
      }
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return moves;
  }

  // The newest message of the service file.
  int64_t LastMessageId() {
    std::vector<device::ServiceMessage> all = device::ListMessages("", "");
    return all.empty() ? 0 : all.back().id;
  }

  // Runs SQL on the service file from this process, as another program could.
  void ServiceExec(const std::string& sql) {
    testing_support::ServiceExec(sql);
  }

  std::unique_ptr<testing_support::TempImage> image_;
  std::vector<std::string> env_;
  ChildProcess transport_;
  ChildProcess compose_;
  std::unique_ptr<ChildProcess> host_;
  int submission_port_ = 0;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_E2E_FILTER_FIXTURE_H_
