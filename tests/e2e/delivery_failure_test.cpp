// A recipient a real relay refuses (5xx) is seen everywhere a user looks:
// `tarnvex-device show` of the message and of the failure notice, the
// messaging application's window listing the notice in the Inbox, a desktop
// notice "Delivery failed" on the session bus (a private bus with the test's
// notification service), and `info`'s count of failed messages.
#include <QListWidget>
#include <cstdlib>
#include <memory>
#include <string>

#include "device/tool/messaging_window.h"
#include "tests/e2e/relay_fixture.h"
#include "tests/support/qt_test.h"
#include "tests/ui/notification_service.h"
#include "tests/ui/session_bus.h"

namespace {

using testing_support::App;
using testing_support::BinPath;
using testing_support::NotificationService;
using testing_support::RelayEndToEndTest;
using testing_support::RunProgram;

class DeliveryFailureTest : public RelayEndToEndTest {
 protected:
  void TearDown() override {
    service_.reset();
    QDBusConnection::disconnectFromBus("notification-service");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    RelayEndToEndTest::TearDown();
  }
  std::string Tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {BinPath("tarnvex-device"), "--root",
                                     image_->root()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    EXPECT_EQ(RunProgram(argv, &out), 0) << args[0];
    return out;
  }
  // Serves the test's notification service while it waits.
  template <typename Predicate>
  bool Eventually(Predicate done, int timeout_ms = 15000) {
    return testing_support::Eventually(
        [&] {
          App().processEvents();
          return done();
        },
        timeout_ms);
  }

  testing_support::SessionBus bus_;
  std::unique_ptr<NotificationService> service_;
};

TEST_F(DeliveryFailureTest, ARefusedRecipientIsShownNoticedAndCounted) {
  App();
  std::string why;
  if (!bus_.Start(&why)) GTEST_SKIP() << "no session bus: " << why;
  setenv("DBUS_SESSION_BUS_ADDRESS", bus_.address().c_str(), 1);
  service_ =
      std::make_unique<NotificationService>(QDBusConnection::connectToBus(
          bus_.address().c_str(), "notification-service"));
  ASSERT_TRUE(service_->Register());
  // The transport on the test's session bus.
  transport_.Kill();
  ASSERT_NO_FATAL_FAILURE(StartTransport());

  ASSERT_NO_FATAL_FAILURE(StartRelay({"--reject", "carol@example.net"}));
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org carol@example.net"));
  const int64_t id =
      SubmitMail("anna@example.org", {"bob@example.org", "carol@example.net"},
                 "From: Anna <anna@example.org>\r\nSubject: Lunch\r\n\r\n"
                 "at noon\r\n");
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));

  std::string shown = Tool({"show", std::to_string(id)});
  EXPECT_NE(shown.find("Subject: Lunch\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("  bob@example.org delivered (250"), std::string::npos)
      << shown;
  EXPECT_NE(shown.find("  carol@example.net failed: 550 5.1.1"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("\nat noon\n"), std::string::npos) << shown;

  const auto inbox = device::ListMessages("E-mail", "Inbox");
  ASSERT_EQ(inbox.size(), 1u);
  shown = Tool({"show", std::to_string(inbox[0].id)});
  EXPECT_NE(shown.find("Subject: Undelivered mail: Lunch"), std::string::npos)
      << shown;
  EXPECT_NE(shown.find("Recipient address rejected"), std::string::npos)
      << shown;

  device_tool::MessagingWindow window("E-mail");
  bool listed = false;
  for (int i = 0; i < window.view()->count(); ++i) {
    const QString line = window.view()->item(i)->text();
    listed |=
        line.contains("[Inbox]") && line.contains("Undelivered mail: Lunch");
  }
  EXPECT_TRUE(listed);

  ASSERT_TRUE(Eventually([&] { return !service_->notices.empty(); }));
  const NotificationService::Notice& notice = service_->notices[0];
  EXPECT_EQ(notice.summary, "Delivery failed");
  EXPECT_TRUE(notice.body.contains("carol@example.net: 550 5.1.1"))
      << notice.body.toStdString();
  EXPECT_FALSE(notice.body.contains("bob@example.org"));

  EXPECT_NE(
      Tool({"info"}).find("Messages: 0 held, 0 waiting, 0 deferred, 1 failed"),
      std::string::npos);
}

}  // namespace
