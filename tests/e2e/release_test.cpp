// A held message released from the windows, as a new user would do it: the
// program's windows in this process over the device's real service, with
// the transport running as its own process.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "resources/control_ids.h"
#include "resources/resources.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/rules_db.h"
#include "storage/statement.h"
#include "tests/support/child_process.h"
#include "tests/support/device_tool.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/test_watch.h"
#include "ui/browser.h"
#include "ui/entry_list.h"
#include "ui/main_window.h"
#include "ui/rules_editor.h"
#include "ui/ui_texts.h"

namespace {

namespace browser_ids = resources::browser_ids;
namespace rules_ids = resources::rules_ids;
namespace shared_ids = resources::shared_ids;

using testing_support::BinPath;
using testing_support::RunProgram;

using testing_support::App;

template <typename Predicate>
bool Eventually(Predicate done, int timeout_ms = 15000) {
  auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    App().processEvents(QEventLoop::AllEvents, 20);
    if (done()) return true;
  }
  return done();
}

std::string FolderOf(int64_t id) {
  device::ServiceMessage m;
  return device::GetServiceMessage(id, &m) ? m.folder_path : "";
}

TEST(ReleaseTest, SelectAddCloseReleasesTheHeldMessageAndTheTransportSendsIt) {
  App();
  testing_support::TempImage image;
  ASSERT_EQ(
      RunProgram({BinPath("tarnvex-device"), "--root", image.root(), "init"}),
      0);
  testing_support::ChildProcess transport;
  ASSERT_TRUE(
      transport.Start({BinPath("tarnvex-device"), "--root", image.root(), "run",
                       "--send-delay-ms", "400", "--no-submission"}));
  ASSERT_TRUE(transport.WaitForLine("transport running"));

  storage::ResetLocations();
  ResetInitDatabases();
  FindInstallFolder();
  ui::LoadUiTexts();
  InitDatabases();
  {
    testing_support::TestWatch watch;
    ui::MainWindow window;
    window.show();
    watch->SetBrowserCalls(
        {[] { ui::RefreshMessageList(ui::TheBrowser()); },
         [](const std::string& t) { ui::ShowStatusText(t); }});
    ASSERT_TRUE(watch->Start());

    std::string out;
    ASSERT_EQ(RunProgram({BinPath("tarnvex-device"), "--root", image.root(),
                          "send", "--store", "SMS", "--to", "555 0199",
                          "--from", "Anna <anna@example.org>", "--subject",
                          "Lunch", "--body", "See you at noon"},
                         &out),
              0);
    int64_t id = testing_support::SavedMessageId(out);
    QListWidget* list = window.browser()->ListBox(browser_ids::kMessageList);
    ASSERT_TRUE(Eventually([&] {
      return FolderOf(id) == "Outbox\\Tarnvex" && list->count() == 1;
    }));
    EXPECT_EQ(ui::EntryLines(list, 0)[2], u"5550199");

    list->setCurrentRow(0);
    App().processEvents();
    {
      ui::RulesEditor editor(&window);
      EXPECT_EQ(editor.page()->ControlText(rules_ids::kRecipientsField),
                u"5550199");
      EXPECT_EQ(editor.page()->ControlText(rules_ids::kSenderField), u"Anna");
      qobject_cast<QPushButton*>(editor.page()->Control(rules_ids::kAddButton))
          ->click();
      EXPECT_EQ(editor.page()->ControlText(rules_ids::kRuleCount), u"1");
      qobject_cast<QPushButton*>(
          editor.page()->Control(shared_ids::kCloseButton))
          ->click();
    }
    ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
    // Listed under "Normal" now.
    window.browser()->SetChecked(browser_ids::kNormalBox, true);
    window.browser()->CheckBox(browser_ids::kNormalBox)->toggled(true);
    window.browser()->SetChecked(browser_ids::kBlockedBox, false);
    window.browser()->CheckBox(browser_ids::kBlockedBox)->toggled(false);
    ui::RefreshMessageList(window.browser());
    ASSERT_TRUE(Eventually([&] { return list->count() == 1; }));
    EXPECT_EQ(ui::EntryLines(list, 0)[4], u"Lunch  see you at noon");
    watch->SetBrowserCalls({});
    watch->Stop();
    ui::JoinBrowserWorkers();
  }
  device::CloseMessageService();  // no notification arrives any more
  CloseRulesDb();
  ResetMessageDb();
  transport.Kill();
}

// The program's windows and monitoring in this process, the transport as its
// own process, and one message held.
class WindowsOverTheDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    image_ = std::make_unique<testing_support::TempImage>();
    ASSERT_EQ(RunProgram({BinPath("tarnvex-device"), "--root", image_->root(),
                          "init"}),
              0);
    ASSERT_TRUE(
        transport_.Start({BinPath("tarnvex-device"), "--root", image_->root(),
                          "run", "--send-delay-ms", "400", "--no-submission"}));
    ASSERT_TRUE(transport_.WaitForLine("transport running"));
    storage::ResetLocations();
    ResetInitDatabases();
    ResetRuleTable();
    CloseRulesDb();
    FindInstallFolder();
    ui::LoadUiTexts();
    InitDatabases();
    watch_ = std::make_unique<testing_support::TestWatch>();
    window_ = std::make_unique<ui::MainWindow>();
    window_->show();
    (*watch_)->SetBrowserCalls(
        {[] { ui::RefreshMessageList(ui::TheBrowser()); },
         [](const std::string& t) { ui::ShowStatusText(t); }});
    ASSERT_TRUE((*watch_)->Start());
  }
  void TearDown() override {
    (*watch_)->SetBrowserCalls({});
    (*watch_)->Stop();
    ui::JoinBrowserWorkers();
    window_.reset();
    device::CloseMessageService();  // no notification arrives any more
    CloseRulesDb();
    ResetMessageDb();
    transport_.Kill();
    image_.reset();
  }
  // Sends a message to `number` and waits until it is held and listed.
  int64_t SendHeld(const std::string& number) {
    std::string out;
    EXPECT_EQ(RunProgram({BinPath("tarnvex-device"), "--root", image_->root(),
                          "send", "--store", "SMS", "--to", number, "--from",
                          "Anna <anna@example.org>", "--subject", "Lunch",
                          "--body", "See you at noon"},
                         &out),
              0);
    int64_t id = testing_support::SavedMessageId(out);
    QListWidget* list = window_->browser()->ListBox(browser_ids::kMessageList);
    EXPECT_TRUE(Eventually([&] {
      return FolderOf(id) == "Outbox\\Tarnvex" && list->count() == 1;
    }));
    return id;
  }
  static void Press(ui::RulesEditor& editor, int id) {
    qobject_cast<QPushButton*>(editor.page()->Control(id))->click();
  }

  std::unique_ptr<testing_support::TempImage> image_;
  testing_support::ChildProcess transport_;
  std::unique_ptr<ui::MainWindow> window_;
  std::unique_ptr<testing_support::TestWatch> watch_;
};

TEST_F(WindowsOverTheDevice,
       ARuleAddedThenTheEditorReopenedAtOnceStillReleases) {
  int64_t id = SendHeld("5550177");
  {
    ui::RulesEditor editor(window_.get());
    editor.page()->SetControlText(rules_ids::kSenderField, u"Anna");
    editor.page()->SetControlText(rules_ids::kRecipientsField, u"5550177");
    Press(editor, rules_ids::kAddButton);
    Press(editor, shared_ids::kCloseButton);
  }
  {
    // Opened again before the worker has come round to the change: the
    // change is not the editor's to discard.
    ui::RulesEditor again(window_.get());
    App().processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Press(again, shared_ids::kCloseButton);
  }
  EXPECT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
}

TEST_F(WindowsOverTheDevice, UpdateAppliesARuleAnotherProgramAdded) {
  int64_t id = SendHeld("5550188");
  // Another program writes a rule into the rules file.
  {
    std::string path, table;
    GetRulesDbPath(&path, &table);
    sqlite3* db = nullptr;
    ASSERT_TRUE(storage::OpenCeDatabase(path.c_str(), &db).ok());
    ASSERT_EQ(
        sqlite3_exec(db,
                     "INSERT INTO Rules (Id, Sender, Recipients, Message, "
                     "Tokens, Certainty) VALUES (7, 'x', '5550188', 'm', "
                     "'m', 90);",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");  // nobody read it yet
  window_->RunCommand(resources::kCmdUpdate);
  EXPECT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
}

}  // namespace
