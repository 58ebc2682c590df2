// The main window on a 1280 x 800 screen under a real X server and window
// manager at the scale factors of HiDPI desktops (1, 1.5, 2): it opens
// inside the screen's available area with its soft keys on screen, and
// maximised it gives the spare height to the message list.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "i18n/chooser.h"
#include "resources/control_ids.h"
#include "tests/support/child_process.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/x_display.h"
#include "ui/browser.h"
#include "ui/main_window.h"
#include "ui/soft_keys.h"

namespace {

namespace browser_ids = resources::browser_ids;

using testing_support::App;

// The browser's controls other than the list, in lines of their text.
constexpr int kOtherLines = 16;

std::string Text(const QRect& r) {
  return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " +
         std::to_string(r.width()) + "x" + std::to_string(r.height());
}

// Waits until the window manager has placed the window (its frame known).
void WaitForFrame(QWidget* window) {
  for (int i = 0; i < 100 && window->frameGeometry() == window->geometry(); ++i)
    QTest::qWait(20);
  QTest::qWait(100);
}

// Every soft key lies inside the screen's available area.
void ExpectKeysOnScreen(ui::MainWindow* window, const QRect& available) {
  for (int k = 0; k < window->soft_keys()->KeyCount(); ++k) {
    QPushButton* key = window->soft_keys()->Key(k);
    QRect on_screen(key->mapToGlobal(QPoint(0, 0)), key->size());
    EXPECT_TRUE(available.contains(on_screen))
        << "soft key " << k << " at " << Text(on_screen) << " outside "
        << Text(available);
  }
}

TEST(ScreenOnX, Child) {
  if (std::getenv("TARNVEX_X_CHILD") == nullptr)
    GTEST_SKIP() << "runs inside the X test only";
  App();
  testing_support::TempImage image;
  ui::MainWindow window;
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  WaitForFrame(&window);
  const QRect available = window.screen()->availableGeometry();
  std::printf("scale %s: screen %s, window %s, frame %s\n",
              std::getenv("QT_SCALE_FACTOR"), Text(available).c_str(),
              Text(window.geometry()).c_str(),
              Text(window.frameGeometry()).c_str());
  EXPECT_TRUE(available.contains(window.frameGeometry()))
      << "the window " << Text(window.frameGeometry()) << " does not fit "
      << Text(available);
  ExpectKeysOnScreen(&window, available);

  // Maximised: the list takes what the other controls do not need. A
  // one-line field is no taller than two lines of its text, and all the
  // controls but the list (some twelve rows of text and their gaps) take
  // no more than the height of kOtherLines lines.
  window.showMaximized();
  for (int i = 0; i < 100 && !window.isMaximized(); ++i) QTest::qWait(20);
  QTest::qWait(300);
  ui::Browser* browser = window.browser();
  const int line = browser->fontMetrics().height();
  QListWidget* list = browser->ListBox(browser_ids::kMessageList);
  std::printf("maximised %s: browser %dx%d, list %d px, line %d px\n",
              Text(window.geometry()).c_str(), browser->width(),
              browser->height(), list->height(), line);
  for (int id : {browser_ids::kListedDay, browser_ids::kStatusLine,
                 browser_ids::kSenderField, browser_ids::kTimeField,
                 browser_ids::kRecipientsField, browser_ids::kDaysBackField}) {
    EXPECT_LE(browser->Control(id)->height(), 2 * line + 4)
        << "field " << id << " is " << browser->Control(id)->height()
        << " px tall with " << line << " px lines";
  }
  for (int id : browser->ControlIds()) {
    std::printf("  control %d: %d px\n", id, browser->Control(id)->height());
  }
  EXPECT_GE(list->height(), browser->height() - kOtherLines * line)
      << "the list has " << list->height() << " of " << browser->height()
      << " px";
  ExpectKeysOnScreen(&window, available);
  // A dialog the size of its owner fits as well.
  {
    i18n::LanguageChooser chooser(&window);
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chooser));
    WaitForFrame(&chooser);
    EXPECT_TRUE(available.contains(chooser.frameGeometry()))
        << "the language chooser " << Text(chooser.frameGeometry())
        << " does not fit " << Text(available);
  }
  std::printf("screen checked\n");
}

class ScreenTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ScreenTest, TheWindowFitsTheScreenAndTheListTakesTheSpareHeight) {
  testing_support::XDisplay x;
  std::string why;
  if (!x.Start("1280x800x24", &why))
    GTEST_SKIP() << "no X server for this test: " << why;
  testing_support::ChildProcess child;
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  ASSERT_TRUE(child.Start(
      {self, "--gtest_filter=ScreenOnX.Child"},
      {"TARNVEX_X_CHILD=1", "DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb",
       std::string("QT_SCALE_FACTOR=") + GetParam()},
      true));
  std::string line, all;
  while (child.ReadLine(&line, 60000)) all += line + "\n";
  int status = 0;
  ASSERT_TRUE(child.Wait(30000, &status)) << all;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << all;
  EXPECT_NE(all.find("screen checked"), std::string::npos) << all;
}

INSTANTIATE_TEST_SUITE_P(ScaleFactors, ScreenTest,
                         ::testing::Values("1", "1.5", "2"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (c == '.') c = '_';
                           return "Factor" + name;
                         });

}  // namespace
