// A held message released from the windows, as a new user would do it: the
// program's windows in this process over the device's real service, with
// the transport running as its own process.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <chrono>
#include <memory>
#include <string>

#include "device/service/service.h"
#include "filter/rule_table.h"
#include "mapi/monitor.h"
#include "mapi/stores.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/message_db.h"
#include "storage/rules_db.h"
#include "tests/support/child_process.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "ui/browser.h"
#include "ui/main_window.h"
#include "ui/rules_editor.h"
#include "ui/ui_texts.h"

namespace {

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
  ASSERT_TRUE(transport.Start({BinPath("tarnvex-device"), "--root",
                               image.root(), "run", "--send-delay-ms", "400"}));
  ASSERT_TRUE(transport.WaitForLine("transport running"));

  storage::ResetLocations();
  ResetInitDatabases();
  FindInstallFolder();
  ui::LoadUiTexts();
  InitDatabases();
  {
    ui::MainWindow window;
    window.show();
    SetBrowserCalls({[] { ui::RefreshMessageList(ui::TheBrowser()); },
                     [](const std::string& t) { ui::ShowStatusText(t); }});
    ASSERT_TRUE(StartMonitoring());

    std::string out;
    ASSERT_EQ(RunProgram({BinPath("tarnvex-device"), "--root", image.root(),
                          "send", "--store", "SMS", "--to", "555 0199",
                          "--from", "Anna <anna@example.org>", "--subject",
                          "Lunch", "--body", "See you at noon"},
                         &out),
              0);
    int64_t id = std::atoll(out.c_str());
    QListWidget* list = window.browser()->ListBox(1010);
    ASSERT_TRUE(Eventually([&] {
      return FolderOf(id) == "Outbox\\Tarnvex" && list->count() == 5;
    }));
    EXPECT_EQ(list->item(2)->text(), "5550199");

    list->setCurrentRow(2);
    App().processEvents();
    {
      ui::RulesEditor editor(&window);
      EXPECT_EQ(editor.page()->ControlText(1035), u"5550199");
      EXPECT_EQ(editor.page()->ControlText(1031), u"Anna");
      qobject_cast<QPushButton*>(editor.page()->Control(1033))->click();
      EXPECT_EQ(editor.page()->ControlText(1038), u"1");
      qobject_cast<QPushButton*>(editor.page()->Control(20013))->click();
    }
    ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
    // Listed under "Normal" now.
    window.browser()->SetChecked(1012, true);
    window.browser()->CheckBox(1012)->toggled(true);
    window.browser()->SetChecked(1039, false);
    window.browser()->CheckBox(1039)->toggled(false);
    ui::RefreshMessageList(window.browser());
    ASSERT_TRUE(Eventually([&] { return list->count() == 5; }));
    EXPECT_EQ(list->item(4)->text(), "Lunch  see you at noon");
    SetBrowserCalls({});
    StopMonitoring();
    ui::JoinBrowserWorkers();
  }
  device::CloseMessageService();  // no notification arrives any more
  CloseRulesDb();
  ResetMessageDb();
  transport.Kill();
}

}  // namespace
