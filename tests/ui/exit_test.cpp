// Exit says what it means: while a message waits in an Outbox or is held,
// nothing leaves the device once Tarnvex has ended (the transport waits for
// it to listen), so Exit, Control+Q and the icon's Exit ask once, No being
// the answer a slip of the Enter key gives, and No keeps Tarnvex running.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>

#include "device/codepage.h"
#include "device/message_box.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "resources/resources.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/rules_db.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/program_on_image.h"
#include "ui/main_window.h"
#include "ui/message_boxes.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace {

using testing_support::App;

constexpr char16_t kQuestion[] =
    u"Nothing will be sent from this device until Tarnvex runs again. Exit?";

// Answers every question with `answer` and counts them.
class Answering : public testing_support::RecordingMessageBoxes {
 public:
  explicit Answering(device::MessageBoxAnswer answer) : answer_(answer) {}
  device::MessageBoxAnswer Show(const std::u16string& text,
                                const std::u16string& caption,
                                device::MessageBoxButtons buttons) override {
    RecordingMessageBoxes::Show(text, caption, buttons);
    return answer_;
  }

 private:
  device::MessageBoxAnswer answer_;
};

class ExitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(program_.Prepare({"SMS"}, &error)) << error;
    ASSERT_TRUE(AddRule("", "5550100", "covered", 90.0f).ok());
    ASSERT_TRUE(LoadRules());
    ASSERT_TRUE(program_.Watch(&error)) << error;
    window_ = std::make_unique<ui::MainWindow>();
    window_->show();
  }
  void TearDown() override { window_.reset(); }
  // A message to `to`, saved into the SMS Outbox as the messaging
  // application saves it; the outgoing check holds it when no rule covers
  // it. Waits until it lies in `folder`.
  void Send(const char16_t* to, const std::string& folder) {
    device::ServiceMessage message;
    message.subject = u"Hello";
    message.body = u"see you";
    message.recipients = {to};
    const base::StatusOr<int64_t> saved =
        device::SaveOutgoingMessage("SMS", message);
    ASSERT_TRUE(saved.ok()) << saved.status().message();
    const int64_t id = *saved;
    device::ServiceMessage now;
    for (int i = 0; i < 500; ++i) {
      if (device::GetServiceMessage(id, &now) && now.folder_path == folder)
        break;
      QTest::qWait(10);
    }
    ASSERT_EQ(now.folder_path, folder);
  }
  std::shared_ptr<Answering> Answer(device::MessageBoxAnswer answer) {
    auto boxes = std::make_shared<Answering>(answer);
    device::SetMessageBoxHandler(boxes);
    return boxes;
  }
  bool Running() const {
    return window_->isVisible() && window_->HasTrayIcon();
  }

  testing_support::ProgramOnImage program_;
  std::unique_ptr<ui::MainWindow> window_;
};

TEST_F(ExitTest, NothingWaitingEndsWithoutAQuestion) {
  auto boxes = Answer(device::MessageBoxAnswer::kNo);
  window_->RunCommand(resources::kCmdExit);
  EXPECT_TRUE(boxes->shown.empty());
  EXPECT_FALSE(Running());
}

TEST_F(ExitTest, AMessageInTheOutboxAsksOnceAndNoKeepsTarnvexRunning) {
  Send(u"5550100", "Outbox");  // covered: it waits for the transport
  auto boxes = Answer(device::MessageBoxAnswer::kNo);
  window_->RunCommand(resources::kCmdExit);
  ASSERT_EQ(boxes->shown.size(), 1u);
  EXPECT_EQ(boxes->shown[0], kQuestion);
  EXPECT_TRUE(Running());
  // Control+Q asks the same; Yes ends it.
  boxes = Answer(device::MessageBoxAnswer::kYes);
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Q, Qt::ControlModifier, "q");
  QApplication::sendEvent(window_.get(), &press);
  ASSERT_EQ(boxes->shown.size(), 1u);
  EXPECT_EQ(boxes->shown[0], kQuestion);
  EXPECT_FALSE(Running());
}

TEST_F(ExitTest, AHeldMessageAsksFromTheIconsExitToo) {
  Send(u"5550199", "Outbox\\Tarnvex");  // no rule: held
  auto boxes = Answer(device::MessageBoxAnswer::kNo);
  QMenu* menu = window_->tray()->contextMenu();
  ASSERT_NE(menu, nullptr) << "the icon has no menu";
  QAction* exit = nullptr;
  for (QAction* action : menu->actions()) {
    if (action->data().toInt() == resources::kCmdExit) exit = action;
  }
  ASSERT_NE(exit, nullptr);
  EXPECT_EQ(ui::PlainText(exit->text()), "Exit");
  exit->trigger();
  ASSERT_EQ(boxes->shown.size(), 1u);
  EXPECT_EQ(boxes->shown[0], kQuestion);
  EXPECT_TRUE(Running());
}

TEST_F(ExitTest, TheQuestionsDefaultIsNo) {
  Send(u"5550199", "Outbox\\Tarnvex");
  device::SetMessageBoxHandler(nullptr);
  ui::InstallQtMessageBoxes();
  QString default_button;
  bool asked = false;
  QTimer::singleShot(50, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    asked = true;
    if (box->defaultButton() != nullptr)
      default_button = box->defaultButton()->text();
    QTest::keyClick(box, Qt::Key_Return);  // the default answer
  });
  window_->RunCommand(resources::kCmdExit);
  EXPECT_TRUE(asked);
  EXPECT_EQ(default_button, "No");
  EXPECT_TRUE(Running());
}

}  // namespace
