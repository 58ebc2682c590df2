// What a screen reader and a keyboard user get: the accessibility tree of
// every window of the program (read in process with QAccessible, as the
// desktop's bridge reads it) names every control, the browser lists one
// item per entry with the entry's five lines in its text, and every Tab stop
// shows that it has the focus.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device/codepage.h"
#include "device/message_box.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "i18n/chooser.h"
#include "i18n/languages.h"
#include "resources/control_ids.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/message_db.h"
#include "storage/rules_db.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/program_on_image.h"
#include "ui/browser.h"
#include "ui/main_window.h"
#include "ui/rules_editor.h"
#include "ui/ui_texts.h"

namespace {

namespace browser_ids = resources::browser_ids;
namespace shared_ids = resources::shared_ids;

using testing_support::App;

void Settle() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

// Roles a user acts on, and so must be able to tell apart by name.
bool Interactive(QAccessible::Role role) {
  switch (role) {
    case QAccessible::EditableText:
    case QAccessible::PushButton:
    case QAccessible::ButtonMenu:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::List:
    case QAccessible::ListItem:
    case QAccessible::Table:
    case QAccessible::MenuItem:
    case QAccessible::ComboBox:
    case QAccessible::Document:
      return true;
    default:
      return false;
  }
}

std::string Describe(QAccessibleInterface* node) {
  QObject* object = node->object();
  std::string what = object != nullptr ? object->metaObject()->className()
                                       : std::string("item");
  if (object != nullptr && !object->objectName().isEmpty())
    what += " \"" + object->objectName().toStdString() + "\"";
  return what + " (role " + std::to_string(node->role()) + ")";
}

// Every visible interactive node below `root` that has no name.
void CollectUnnamed(QAccessibleInterface* node, std::vector<std::string>* out,
                    int depth = 0) {
  if (node == nullptr || depth > 30) return;
  if (node->state().invisible) return;
  if (Interactive(node->role()) &&
      node->text(QAccessible::Name).trimmed().isEmpty()) {
    out->push_back(Describe(node));
  }
  for (int i = 0; i < node->childCount(); ++i)
    CollectUnnamed(node->child(i), out, depth + 1);
}

std::vector<std::string> UnnamedControls(QWidget* window) {
  std::vector<std::string> unnamed;
  CollectUnnamed(QAccessible::queryAccessibleInterface(window), &unnamed);
  return unnamed;
}

QString NameOf(QWidget* widget) {
  QAccessibleInterface* node = QAccessible::queryAccessibleInterface(widget);
  return node != nullptr ? node->text(QAccessible::Name) : QString();
}

class AccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(program_.Prepare({"SMS"}, &error)) << error;
    ASSERT_TRUE(program_.Watch(&error)) << error;
    boxes_ = std::make_shared<testing_support::RecordingMessageBoxes>();
    device::SetMessageBoxHandler(boxes_);
    std::string today;
    DayText(0, &today);
    for (const char* subject : {"Lunch", "Dinner"}) {
      int32_t id = 0;
      ASSERT_TRUE(MAPIAdd("SMS", "Anna <anna@example.org>", "5550199", subject,
                          "see you", "see you", "", 0, today.c_str(),
                          "10:00:00", &id));
    }
    ASSERT_TRUE(AddRule("", "5550100", "a rule", 90.0f));
    window_ = std::make_unique<ui::MainWindow>();
    window_->resize(480, 640);
    window_->show();
    ui::RefreshMessageList(window_->browser());
    Settle();
  }
  void TearDown() override {
    ui::JoinBrowserWorkers();
    window_.reset();
  }

  testing_support::ProgramOnImage program_;
  std::shared_ptr<testing_support::RecordingMessageBoxes> boxes_;
  std::unique_ptr<ui::MainWindow> window_;
};

TEST_F(AccessibilityTest, EveryControlOfEveryWindowHasAName) {
  std::vector<std::string> unnamed = UnnamedControls(window_.get());
  for (const std::string& what : unnamed)
    ADD_FAILURE() << "main window: " << what;

  // The message viewer in the browser's place.
  window_->browser()->ListBox(browser_ids::kMessageList)->setCurrentRow(0);
  window_->RunCommand(resources::kCmdShowViewer);
  Settle();
  for (const std::string& what : UnnamedControls(window_.get()))
    ADD_FAILURE() << "viewer: " << what;
  window_->RunCommand(resources::kCmdShowBrowser);

  {
    ui::RulesEditor editor(window_.get());
    editor.show();
    Settle();
    for (const std::string& what : UnnamedControls(&editor))
      ADD_FAILURE() << "rules editor: " << what;
  }
  {
    i18n::LanguageChooser chooser(window_.get());
    chooser.show();
    Settle();
    for (const std::string& what : UnnamedControls(&chooser))
      ADD_FAILURE() << "language chooser: " << what;
  }
  bool about_seen = false;
  QObject::connect(window_.get(), &ui::MainWindow::AboutOpened,
                   [&](QWidget* about) {
                     about_seen = true;
                     QTimer::singleShot(0, about, [about] {
                       for (const std::string& what : UnnamedControls(about))
                         ADD_FAILURE() << "About box: " << what;
                       about->close();
                     });
                   });
  window_->RunCommand(resources::kCmdAbout);
  EXPECT_TRUE(about_seen);
}

TEST_F(AccessibilityTest, TheDayButtonsSayWhichWayTheyGo) {
  ui::Browser* browser = window_->browser();
  EXPECT_EQ(NameOf(browser->Control(browser_ids::kPreviousDayButton)),
            "Previous day");
  EXPECT_EQ(NameOf(browser->Control(browser_ids::kNextDayButton)), "Next day");
  // A field is named by the label above it.
  EXPECT_EQ(NameOf(browser->Control(browser_ids::kSenderField)), "Sender");
  EXPECT_EQ(NameOf(browser->Control(browser_ids::kRecipientsField)),
            "Recipients");
  // Relabelled by a language, the name follows.
  browser->SetControlText(shared_ids::kSenderLabel, u"Absender");
  EXPECT_EQ(NameOf(browser->Control(browser_ids::kSenderField)), "Absender");
}

TEST_F(AccessibilityTest, TheBrowserListsOneItemPerEntryWithItsFiveLines) {
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(
      window_->browser()->ListBox(browser_ids::kMessageList));
  ASSERT_NE(list, nullptr);
  std::vector<QString> items;
  for (int i = 0; i < list->childCount(); ++i) {
    QAccessibleInterface* item = list->child(i);
    if (item != nullptr && item->role() == QAccessible::ListItem)
      items.push_back(item->text(QAccessible::Name));
  }
  ASSERT_EQ(items.size(), 2u);
  for (size_t k = 0; k < items.size(); ++k) {
    const QString& text = items[k];
    EXPECT_TRUE(text.contains(QString("%1. E-MAIL").arg(k + 1)))
        << text.toStdString();
    for (const char* line : {"anna@example.org", "5550199", "10:00:00"})
      EXPECT_TRUE(text.contains(line)) << text.toStdString();
    EXPECT_TRUE(text.contains(k == 0 ? "Lunch  see you" : "Dinner  see you"))
        << text.toStdString();
    EXPECT_FALSE(text.contains("____")) << text.toStdString();
  }
}

// What the window shows of a control and a few pixels around it (where a
// focus frame is drawn).
QImage Around(QWidget* window, QWidget* control) {
  QRect area(control->mapTo(window, QPoint(0, 0)), control->size());
  return window->grab(area.adjusted(-3, -3, 3, 3)).toImage();
}

// Presses Tab in `window` until the focus comes round again; every widget
// it stopped at must look different with the focus than without it.
void ExpectEveryTabStopShowsItsFocus(QWidget* window) {
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  std::vector<QWidget*> order;
  std::map<QWidget*, QImage> focused, unfocused;
  QWidget* previous = nullptr;
  for (int presses = 0; presses < 60; ++presses) {
    QWidget* from = QApplication::focusWidget();
    QTest::keyClick(from != nullptr ? from : window, Qt::Key_Tab);
    Settle();
    QWidget* now = QApplication::focusWidget();
    ASSERT_NE(now, nullptr);
    if (previous != nullptr && unfocused.count(previous) == 0)
      unfocused[previous] = Around(window, previous);
    if (focused.count(now) != 0) {
      if (unfocused.size() == focused.size()) break;
    } else {
      focused[now] = Around(window, now);
      order.push_back(now);
    }
    previous = now;
  }
  ASSERT_GE(order.size(), 3u);
  for (QWidget* stop : order) {
    ASSERT_EQ(unfocused.count(stop), 1u);
    EXPECT_NE(focused[stop], unfocused[stop])
        << "no focus shown on " << stop->metaObject()->className() << " \""
        << stop->objectName().toStdString() << "\" (\""
        << NameOf(stop).toStdString() << "\")";
  }
}

TEST_F(AccessibilityTest, EveryTabStopShowsItsFocus) {
  ExpectEveryTabStopShowsItsFocus(window_.get());
  ui::RulesEditor editor(window_.get());
  editor.show();
  ExpectEveryTabStopShowsItsFocus(&editor);
  editor.close();
  i18n::LanguageChooser chooser(window_.get());
  chooser.show();
  ExpectEveryTabStopShowsItsFocus(&chooser);
}

}  // namespace
