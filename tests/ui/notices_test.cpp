// The user is told of held messages. Under a real X server with a private
// session bus, a notification service of the test's own (it records the
// Notify calls and sends ActionInvoked as a click would) watches Tarnvex run
// in this process: one hold gives one notice naming the recipients no rule
// covers, a burst of ten gives one or two, a click shows the browser on
// "Blocked", and the icon's tooltip counts the held messages. Without a
// service (and, under Xvfb, without a tray) a hold is shown nowhere and
// nothing fails. The texts of a notice are checked on their own too.
#include "ui/notices.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/clock.h"
#include "device/codepage.h"
#include "device/message_box.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "resources/control_ids.h"
#include "storage/calendar.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "tests/support/child_process.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/notification_service.h"
#include "tests/ui/session_bus.h"
#include "tests/ui/test_watch.h"
#include "tests/ui/x_display.h"
#include "ui/bidi.h"
#include "ui/browser.h"
#include "ui/entry_list.h"
#include "ui/main_window.h"
#include "ui/program_icon.h"
#include "ui/startup.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace {

namespace browser_ids = resources::browser_ids;

using testing_support::App;
using testing_support::NotificationService;

// Waits (serving the event loop) until `done` or `ms` have passed.
bool WaitFor(const std::function<bool()>& done, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (done()) return true;
    QTest::qWait(10);
  }
  return done();
}

// How many held messages a notice stands for.
int HoldsOf(const NotificationService::Notice& notice) {
  if (notice.summary == "Message held") return 1;
  const QString prefix = "Messages held: ";
  return notice.summary.startsWith(prefix)
             ? notice.summary.mid(prefix.size()).toInt()
             : 0;
}

// Answers Yes: the run ends with Exit although messages are held.
class AnswerYes : public testing_support::RecordingMessageBoxes {
 public:
  device::MessageBoxAnswer Show(const std::u16string& text,
                                const std::u16string& caption,
                                device::MessageBoxButtons buttons) override {
    RecordingMessageBoxes::Show(text, caption, buttons);
    return device::MessageBoxAnswer::kYes;
  }
};

class NoticesX : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("TARNVEX_X_CHILD") == nullptr)
      GTEST_SKIP() << "runs inside the desktop test only";
    App();
    storage::ResetLocations();
    ResetInitDatabases();
    ResetRuleTable();
    CloseRulesDb();
    image_ = std::make_unique<testing_support::TempImage>();
    const base::Status made = device::CreateStore("SMS");
    ASSERT_TRUE(made.ok()) << made.message();
    boxes_ = std::make_shared<AnswerYes>();
    device::SetMessageBoxHandler(boxes_);
    if (std::getenv("TARNVEX_NOTICE_SERVICE") != nullptr) {
      service_ =
          std::make_unique<NotificationService>(QDBusConnection::connectToBus(
              QDBusConnection::SessionBus, "notification-service"));
      ASSERT_TRUE(service_->Register());
    }
  }
  void TearDown() override {
    service_.reset();
    QDBusConnection::disconnectFromBus("notification-service");
    device::SetMessageBoxHandler(nullptr);
    device::CloseMessageService();
    CloseRulesDb();
    ResetMessageDb();
    image_.reset();
  }

  // Runs Tarnvex in this process; `scenario` runs once its window is up and
  // monitoring has started, and Exit ends the run after it.
  void Run(const std::function<void(ui::MainWindow*)>& scenario) {
    bool ran = false;
    std::function<void()> start = [&] {
      ui::MainWindow* window = ui::TheMainWindow();
      if (window == nullptr || ui::Watch() == nullptr ||
          ui::Watch()->stores().Session() == nullptr) {
        QTimer::singleShot(20, start);
        return;
      }
      struct ExitAfter {
        ui::MainWindow* window;
        ~ExitAfter() { window->RunCommand(resources::kCmdExit); }
      } exit_after{window};
      scenario(window);
      ran = true;
    };
    QTimer::singleShot(0, start);
    static char name[] = "Tarnvex";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(ui::RunTarnvex(1, argv), 0);
    EXPECT_TRUE(ran);
  }

  // A message saved into the SMS Outbox as the messaging application saves
  // it; its id.
  int64_t Send(std::vector<std::u16string> to,
               const std::u16string& subject = u"Dinner") {
    device::ServiceMessage message;
    message.subject = subject;
    message.body = u"see you";
    message.recipients = std::move(to);
    const base::StatusOr<int64_t> id =
        device::SaveOutgoingMessage("SMS", message);
    EXPECT_TRUE(id.ok()) << id.status().message();
    return id.ok() ? *id : 0;
  }
  static bool Held(int64_t id) {
    device::ServiceMessage message;
    return device::GetServiceMessage(id, &message) &&
           message.folder_path == "Outbox\\Tarnvex";
  }
  int NoticedHolds() const {
    int holds = 0;
    for (const auto& notice : service_->notices) holds += HoldsOf(notice);
    return holds;
  }

  std::unique_ptr<testing_support::TempImage> image_;
  std::shared_ptr<AnswerYes> boxes_;
  std::unique_ptr<NotificationService> service_;
};

// The recorded notice in a small window of the test's own, as a desktop
// draws one (no notification daemon runs under Xvfb to draw it).
void SaveNoticePicture(const NotificationService::Notice& notice,
                       const std::string& file) {
  QWidget popup(nullptr, Qt::ToolTip);
  popup.setObjectName("notice");
  auto* row = new QHBoxLayout(&popup);
  auto* icon = new QLabel(&popup);
  icon->setPixmap(ui::ProgramIcon().pixmap(48, 48));
  row->addWidget(icon, 0, Qt::AlignTop);
  auto* texts = new QVBoxLayout;
  auto* app = new QLabel(notice.app, &popup);
  auto* summary =
      new QLabel("<b>" + notice.summary.toHtmlEscaped() + "</b>", &popup);
  // The body is markup (the service said so): shown as the service would.
  auto* body = new QLabel(QString(notice.body).replace('\n', "<br>"), &popup);
  body->setTextFormat(Qt::RichText);
  texts->addWidget(app);
  texts->addWidget(summary);
  texts->addWidget(body);
  row->addLayout(texts);
  popup.setStyleSheet(
      "QWidget#notice { background: #fafafa; border: 1px solid #8a8a8a; }");
  popup.resize(380, popup.sizeHint().height());
  popup.show();
  QTest::qWait(100);
  EXPECT_TRUE(popup.grab().save(QString::fromStdString(file)));
}

TEST_F(NoticesX, OneHoldGivesOneNoticeNamingTheRecipientsNoRuleCovers) {
  Run([&](ui::MainWindow*) {
    ASSERT_TRUE(AddRule("", "5550100", "lunch", 90.0f).ok());
    ASSERT_TRUE(LoadRules());
    const int64_t id = Send({u"555 0100", u"555 0199"}, u"Dinner <8pm> & more");
    ASSERT_TRUE(WaitFor([&] { return !service_->notices.empty(); }, 10000));
    EXPECT_TRUE(Held(id));
    // A second later there is still only the one.
    QTest::qWait(ui::kGatherMs + 500);
    ASSERT_EQ(service_->notices.size(), 1u);
    const auto& notice = service_->notices[0];
    EXPECT_EQ(notice.app, "Tarnvex");
    EXPECT_EQ(notice.summary, "Message held");
    EXPECT_TRUE(notice.actions.contains("default"));
    const QString body = ui::ToQt(ui::WithoutIsolates(ui::FromQt(notice.body)));
    EXPECT_TRUE(body.contains("SMS")) << body.toStdString();
    EXPECT_TRUE(body.contains("555 0199")) << body.toStdString();
    EXPECT_FALSE(body.contains("555 0100")) << "a covered recipient is named";
    // The service reads markup: the subject's own signs are escaped.
    EXPECT_TRUE(body.contains("Dinner &lt;8pm&gt; &amp; more"))
        << body.toStdString();
    if (const char* dir = std::getenv("TARNVEX_SCREENSHOT_DIR"))
      SaveNoticePicture(notice, std::string(dir) + "/notice.png");
  });
}

TEST_F(NoticesX, TenHoldsInABurstGiveOneOrTwoNotices) {
  Run([&](ui::MainWindow*) {
    std::vector<int64_t> ids;
    for (int i = 0; i < 10; ++i)
      ids.push_back(Send({u"555 02" + std::u16string(1, u'0' + i) + u"0"}));
    ASSERT_TRUE(WaitFor([&] { return NoticedHolds() >= 10; }, 15000))
        << NoticedHolds() << " holds noticed";
    QTest::qWait(ui::kGatherMs + 500);
    EXPECT_GE(service_->notices.size(), 1u);
    EXPECT_LE(service_->notices.size(), 2u);
    EXPECT_EQ(NoticedHolds(), 10);
    for (int64_t id : ids) EXPECT_TRUE(Held(id));
    // A notice of several lists the first few and says there are more.
    for (const auto& notice : service_->notices) {
      if (HoldsOf(notice) > ui::kListedHolds) {
        EXPECT_EQ(notice.body.count('\n'), ui::kListedHolds)
            << notice.body.toStdString();
        EXPECT_TRUE(notice.body.endsWith(QString(u'\u2026')));
      }
    }
  });
}

TEST_F(NoticesX, AClickOnTheNoticeShowsTheBrowserOnBlocked) {
  Run([&](ui::MainWindow* window) {
    Send({u"555 0199"});
    ASSERT_TRUE(WaitFor([&] { return !service_->notices.empty(); }, 10000));
    // The user looks elsewhere meanwhile, and hides the window.
    ui::Browser* browser = window->browser();
    browser->SetChecked(browser_ids::kBlockedBox, false);
    browser->SetChecked(browser_ids::kNormalBox, true);
    browser->SetControlText(browser_ids::kDaysBackField, u"3");
    window->RunCommand(resources::kCmdShowViewer);
    window->RunCommand(resources::kCmdHide);
    ASSERT_TRUE(WaitFor([&] { return window->isMinimized(); }, 2000));
    // Another program's notice clicked: nothing happens here.
    service_->Click(service_->notices[0].id + 100);
    QTest::qWait(300);
    EXPECT_TRUE(window->isMinimized());
    service_->Click(service_->notices[0].id);
    QListWidget* list = browser->ListBox(browser_ids::kMessageList);
    ASSERT_TRUE(WaitFor(
        [&] { return !window->isMinimized() && list->count() == 1; }, 5000));
    EXPECT_FALSE(window->ViewerShown());
    EXPECT_TRUE(browser->IsChecked(browser_ids::kBlockedBox));
    EXPECT_FALSE(browser->IsChecked(browser_ids::kNormalBox));
    EXPECT_EQ(browser->ControlText(browser_ids::kDaysBackField), u"0");
    EXPECT_EQ(ui::EntryLines(list, 0)[2], u"5550199");
  });
}

TEST_F(NoticesX, TheIconsTooltipCountsTheHeldMessages) {
  Run([&](ui::MainWindow* window) {
    auto tooltip = [&] { return window->tray()->toolTip(); };
    ASSERT_TRUE(
        WaitFor([&] { return tooltip().endsWith("Messages held: 0"); }, 5000))
        << tooltip().toStdString();
    Send({u"555 0199"});
    Send({u"555 0188"});
    EXPECT_TRUE(
        WaitFor([&] { return tooltip().endsWith("Messages held: 2"); }, 10000))
        << tooltip().toStdString();
    // A rule releases one of them.
    ASSERT_TRUE(AddRule("", "5550188", "", 90.0f).ok());
    ASSERT_TRUE(ui::StartDatabaseUpdate());
    EXPECT_TRUE(
        WaitFor([&] { return tooltip().endsWith("Messages held: 1"); }, 10000))
        << tooltip().toStdString();
    EXPECT_TRUE(tooltip().startsWith("Tarnvex"));
  });
}

TEST_F(NoticesX, NoServiceAndNoTrayShowNothingAndNothingFails) {
  ASSERT_EQ(service_, nullptr);
  Run([&](ui::MainWindow* window) {
    EXPECT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    const int64_t id = Send({u"555 0199"});
    ASSERT_TRUE(WaitFor([&] { return Held(id); }, 10000));
    QTest::qWait(ui::kGatherMs + 500);
    EXPECT_TRUE(boxes_->shown.empty());
    EXPECT_TRUE(window->isVisible());
  });
}

// Runs the desktop cases in a child on Xvfb with a private session bus;
// `service`: with the test's notification service on it.
void RunOnDesktop(const std::string& filter, bool service) {
  testing_support::XDisplay x;
  std::string why;
  if (!x.Start("1280x800x24", &why))
    GTEST_SKIP() << "no X server for this test: " << why;
  testing_support::SessionBus bus;
  if (!bus.Start(&why)) GTEST_SKIP() << "no session bus: " << why;
  std::vector<std::string> env = {"TARNVEX_X_CHILD=1", "DISPLAY=" + x.display(),
                                  "QT_QPA_PLATFORM=xcb",
                                  "DBUS_SESSION_BUS_ADDRESS=" + bus.address()};
  if (service) env.push_back("TARNVEX_NOTICE_SERVICE=1");
  testing_support::ChildProcess child;
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  ASSERT_TRUE(child.Start({self, "--gtest_filter=" + filter}, env, true));
  std::string line, all;
  while (child.ReadLine(&line, 120000)) all += line + "\n";
  int status = 0;
  ASSERT_TRUE(child.Wait(30000, &status)) << all;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << all;
  EXPECT_NE(all.find("[  PASSED  ]"), std::string::npos) << all;
  EXPECT_EQ(all.find("[  SKIPPED ]"), std::string::npos) << all;
}

TEST(NoticesTest, UnderADesktopWithANotificationService) {
  RunOnDesktop("NoticesX.*-NoticesX.NoService*", true);
}

TEST(NoticesTest, UnderADesktopWithoutANotificationServiceOrATray) {
  RunOnDesktop("NoticesX.NoService*", false);
}

// --- the texts of a notice, and the day it shows

HoldNotice Hold(const char* store, std::vector<std::u16string> recipients,
                std::u16string subject) {
  HoldNotice hold;
  hold.store = store;
  hold.recipients = std::move(recipients);
  hold.subject = std::move(subject);
  hold.when = device::Now();
  return hold;
}

class NoticeTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    image_ = std::make_unique<testing_support::TempImage>();
    ui::LoadUiTexts();
  }
  void TearDown() override {
    ui::LoadUiTexts();
    image_.reset();
  }
  std::unique_ptr<testing_support::TempImage> image_;
};

TEST_F(NoticeTextTest, OneHoldNamesItsStoreRecipientsAndSubjectIsolated) {
  const ui::NoticeText text = ui::ComposeNotice(
      {Hold("SMS", {u"555 0199", u"Anna <anna@example.org>"}, u"Dinner")},
      /*markup=*/false);
  EXPECT_EQ(text.summary, "Message held");
  EXPECT_EQ(text.body, ui::Isolated(QString("SMS")) + ": " +
                           ui::Isolated(QString("555 0199")) + ", " +
                           ui::Isolated(QString("Anna <anna@example.org>")) +
                           QString::fromUtf8(" \xE2\x80\x93 ") +
                           ui::Isolated(QString("Dinner")));
  // For a service that reads markup the message's signs are escaped.
  EXPECT_TRUE(ui::ComposeNotice({Hold("SMS", {u"a<b>"}, u"x & y")}, true)
                  .body.contains("a&lt;b&gt;"));
}

TEST_F(NoticeTextTest, SeveralHoldsAreCountedInTheLanguageOfTheWindow) {
  std::vector<HoldNotice> holds;
  for (int i = 0; i < 5; ++i) holds.push_back(Hold("SMS", {u"555"}, u""));
  ui::NoticeText text = ui::ComposeNotice(holds, false);
  EXPECT_EQ(text.summary, "Messages held: 5");
  EXPECT_EQ(text.body.split('\n').size(), ui::kListedHolds + 1);
  // A language's text keeps the number where its "%d" stands; any other
  // sign of a format is shown as it is.
  ASSERT_TRUE(ui::SetUiText(resources::kIdTextMessagesHeld,
                            u"%s Nachrichten (%d) zur\u00fcckgehalten"));
  text = ui::ComposeNotice(holds, false);
  EXPECT_EQ(text.summary, QString::fromUtf8("%s Nachrichten (5) zur\xC3\xBC"
                                            "ckgehalten"));
  ASSERT_TRUE(ui::SetUiText(resources::kIdTextMessageHeld,
                            u"Nachricht zur\u00fcckgehalten"));
  EXPECT_EQ(ui::ComposeNotice({holds[0]}, false).summary,
            QString::fromUtf8("Nachricht zur\xC3\xBC"
                              "ckgehalten"));
}

TEST_F(NoticeTextTest, TheDayOfAHoldCountsInCalendarDays) {
  device::LocalTime today = device::Now();
  EXPECT_EQ(ui::DaysBeforeToday(today), 0);
  device::LocalTime new_year = device::MakeDay(2025, 12, 31);
  // The test clock stands at 2026-01-16.
  EXPECT_EQ(ui::DaysBeforeToday(new_year), 16);
  EXPECT_EQ(ui::DaysBeforeToday(device::MakeDay(2024, 2, 29)), 687);
}

TEST(NoticeDayTest, AClickListsTheHeldMessagesOfTheHoldsDay) {
  App();
  storage::ResetLocations();
  ResetInitDatabases();
  ResetRuleTable();
  CloseRulesDb();
  auto image = std::make_unique<testing_support::TempImage>();
  ASSERT_TRUE(device::CreateStore("SMS").ok());
  FindInstallFolder();
  ui::LoadUiTexts();
  InitDatabases();
  auto watch_ = std::make_unique<testing_support::TestWatch>();
  ASSERT_TRUE(watch_->EnterStores());
  // Held yesterday, and one of today that was released.
  std::string yesterday, today;
  DayText(1, &yesterday);
  DayText(0, &today);
  int32_t id = 0;
  ASSERT_TRUE(records::Add("SMS", "Anna", "5550199", "Yesterday", "held",
                           "held", "", 0, yesterday.c_str(), "23:59:00", &id)
                  .ok());
  ASSERT_TRUE(records::Add("SMS", "Anna", "5550100", "Today", "sent", "sent",
                           "", 1, today.c_str(), "09:00:00", &id)
                  .ok());
  {
    ui::MainWindow window;
    window.show();
    device::LocalTime now = device::Now();
    int y = 0, m = 0, d = 0;
    DaysBefore(now.year, now.month, now.day, 1, &y, &m, &d);
    device::LocalTime day = device::MakeDay(y, m, d);
    day.hour = 23;
    window.ShowHeldOn(day);
    ui::Browser* browser = window.browser();
    QListWidget* list = browser->ListBox(browser_ids::kMessageList);
    ASSERT_TRUE(WaitFor([&] { return list->count() == 1; }, 5000));
    ui::JoinBrowserWorkers();
    EXPECT_EQ(browser->ControlText(browser_ids::kDaysBackField), u"1");
    EXPECT_TRUE(browser->IsChecked(browser_ids::kBlockedBox));
    EXPECT_FALSE(browser->IsChecked(browser_ids::kNormalBox));
    EXPECT_EQ(ui::EntryLines(list, 0)[4], u"Yesterday  held");
  }
  device::CloseMessageService();
  watch_.reset();
  CloseRulesDb();
  ResetMessageDb();
}

}  // namespace
