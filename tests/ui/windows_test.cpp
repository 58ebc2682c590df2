// The windows as a desktop user meets them: every template laid out at every
// window shape, the message viewer showing the page just written (and
// nothing else), and the keyboard. On Qt's offscreen platform; the layout
// is checked once more in a maximised window under a real X server.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/codepage.h"
#include "device/message_box.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "resources/control_ids.h"
#include "resources/resources.h"
#include "storage/calendar.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "tests/support/child_process.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/test_watch.h"
#include "tests/ui/x_display.h"
#include "ui/browser.h"
#include "ui/main_window.h"
#include "ui/message_boxes.h"
#include "ui/page_view.h"
#include "ui/soft_keys.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"

namespace {

namespace browser_ids = resources::browser_ids;
namespace shared_ids = resources::shared_ids;

using testing_support::App;

void Settle() {
  for (int i = 0; i < 5; ++i) App().processEvents();
}

// Every control lies inside the page with a size, and no two overlap.
void ExpectLaidOut(const ui::TemplateDialog& page, const QSize& shape) {
  QRect area = page.rect();
  std::vector<int> ids = page.ControlIds();
  for (size_t a = 0; a < ids.size(); ++a) {
    QRect r = page.Control(ids[a])->geometry();
    EXPECT_TRUE(r.width() > 0 && r.height() > 0)
        << ids[a] << " at " << shape.width() << "x" << shape.height();
    EXPECT_TRUE(area.contains(r))
        << "control " << ids[a] << " (" << r.x() << "," << r.y() << " "
        << r.width() << "x" << r.height() << ") outside " << area.width() << "x"
        << area.height() << " at " << shape.width() << "x" << shape.height();
    for (size_t b = a + 1; b < ids.size(); ++b) {
      EXPECT_FALSE(r.intersects(page.Control(ids[b])->geometry()))
          << ids[a] << " overlaps " << ids[b] << " at " << shape.width() << "x"
          << shape.height();
    }
  }
}

// Whole lines the list shows at once.
int VisibleLines(QListWidget* list) {
  if (list->count() == 0) list->addItem("probe");
  int row = std::max(1, list->sizeHintForRow(0));
  return list->viewport()->height() / row;
}

const QSize kShapes[] = {{320, 420}, {420, 320}, {480, 640},   {640, 480},
                         {800, 560}, {560, 800}, {1920, 1080}, {1080, 1920}};

TEST(LayoutTest, EveryTemplateFitsEveryShape) {
  App();
  for (int id : {resources::kIdAboutTemplate, resources::kIdLanguageTemplate,
                 resources::kIdRulesTemplate, resources::kIdBrowserTemplate}) {
    ui::TemplateDialog page(resources::LoadDialogTemplate(id));
    page.show();
    for (const QSize& shape : kShapes) {
      page.resize(shape);
      Settle();
      SCOPED_TRACE("template " + std::to_string(id));
      ExpectLaidOut(page, shape);
    }
  }
}

TEST(LayoutTest, TheTemplatesOrderIsKept) {
  App();
  ui::TemplateDialog page(
      resources::LoadDialogTemplate(resources::kIdBrowserTemplate));
  page.show();
  for (const QSize& shape : kShapes) {
    page.resize(shape);
    Settle();
    auto top = [&](int id) { return page.Control(id)->geometry().top(); };
    auto left = [&](int id) { return page.Control(id)->geometry().left(); };
    // Down: date, list, status line, sender, recipients, message, day, boxes.
    EXPECT_LT(top(browser_ids::kListedDay), top(browser_ids::kMessageList));
    EXPECT_LT(top(browser_ids::kMessageList), top(browser_ids::kStatusLine));
    EXPECT_LT(top(browser_ids::kStatusLine), top(shared_ids::kSenderLabel));
    EXPECT_LT(top(browser_ids::kSenderField),
              top(shared_ids::kRecipientsLabel));
    EXPECT_LT(top(browser_ids::kRecipientsField),
              top(shared_ids::kMessageLabel));
    EXPECT_LT(top(browser_ids::kMessageField),
              top(browser_ids::kDaysBackLabel));
    EXPECT_LT(top(browser_ids::kPreviousDayButton),
              top(browser_ids::kNextDayButton));
    EXPECT_LT(top(browser_ids::kDaysBackLabel), top(browser_ids::kBlockedBox));
    // Across: sender before time, blocked before normal before update.
    EXPECT_LT(left(browser_ids::kSenderField), left(browser_ids::kTimeField));
    EXPECT_LT(left(browser_ids::kBlockedBox), left(browser_ids::kNormalBox));
    EXPECT_LT(left(browser_ids::kNormalBox), left(browser_ids::kUpdateButton));
    // The fonts grow with the window, but stay in proportion.
    EXPECT_GE(page.font().pointSizeF(),
              QApplication::font().pointSizeF() - 0.01);
    EXPECT_LE(page.font().pointSizeF(),
              QApplication::font().pointSizeF() * 1.31);
  }
}

// The main window at the shapes a user gives it: the browser's controls all
// inside, the list the tallest thing in it.
void CheckMainWindowShapes(ui::MainWindow* window, bool maximise) {
  const QSize shapes[] = {{480, 640}, {800, 560}, {640, 480}, {1920, 1080}};
  for (const QSize& shape : shapes) {
    if (maximise && shape == QSize(1920, 1080)) {
      window->showMaximized();
      for (int i = 0; i < 50 && window->size() != shape; ++i) QTest::qWait(50);
    } else {
      if (window->isMaximized()) window->showNormal();
      window->resize(shape);
      for (int i = 0; i < 50 && window->size() != shape; ++i) QTest::qWait(20);
    }
    Settle();
    ui::Browser* browser = window->browser();
    SCOPED_TRACE(std::to_string(window->width()) + "x" +
                 std::to_string(window->height()));
    ExpectLaidOut(*browser, window->size());
    EXPECT_TRUE(window->rect().contains(browser->geometry().translated(
        browser->mapTo(window, QPoint(0, 0)) - browser->geometry().topLeft())));
    for (int k = 0; k < window->soft_keys()->KeyCount(); ++k) {
      QPushButton* key = window->soft_keys()->Key(k);
      QRect in_window(key->mapTo(window, QPoint(0, 0)), key->size());
      EXPECT_TRUE(window->rect().contains(in_window)) << "soft key " << k;
    }
    int lines = VisibleLines(browser->ListBox(browser_ids::kMessageList));
    if (window->width() >= 800 || window->height() >= 640) {
      EXPECT_GE(lines, 5) << "the list shows too little";
    }
    if (window->height() >= 1000) {
      EXPECT_GE(lines, 25);  // five whole entries
    }
  }
}

TEST(LayoutTest, TheMainWindowAtEveryShape) {
  App();
  testing_support::TempImage image;
  ui::MainWindow window;
  window.show();
  CheckMainWindowShapes(&window, false);
}

TEST(LayoutOnX, Child) {
  if (std::getenv("TARNVEX_X_CHILD") == nullptr)
    GTEST_SKIP() << "runs inside the X test only";
  App();
  testing_support::TempImage image;
  ui::MainWindow window;
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  CheckMainWindowShapes(&window, true);
  EXPECT_TRUE(window.isMaximized());
  std::printf("layout checked\n");
}

TEST(LayoutOnX, MaximisedUnderARealWindowManager) {
  testing_support::XDisplay x;
  std::string why;
  if (!x.Start("1920x1080x24", &why))
    GTEST_SKIP() << "no X server for this test: " << why;
  testing_support::ChildProcess child;
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  ASSERT_TRUE(child.Start(
      {self, "--gtest_filter=LayoutOnX.Child"},
      {"TARNVEX_X_CHILD=1", "DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb"},
      true));
  std::string line, all;
  while (child.ReadLine(&line, 120000)) all += line + "\n";
  int status = 0;
  ASSERT_TRUE(child.Wait(30000, &status)) << all;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << all;
  EXPECT_NE(all.find("layout checked"), std::string::npos) << all;
}

// --- the viewer
// ---------------------------------------------------------------

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    storage::ResetLocations();
    ResetInitDatabases();
    ResetRuleTable();
    image_ = std::make_unique<testing_support::TempImage>();
    ASSERT_TRUE(device::CreateStore("SMS").ok());
    FindInstallFolder();
    ui::LoadUiTexts();
    InitDatabases();
    watch_ = std::make_unique<testing_support::TestWatch>();
    ASSERT_TRUE(watch_->EnterStores());
    std::string narrow;
    DayText(0, &narrow);
    today_ = narrow;
    window_ = std::make_unique<ui::MainWindow>();
    window_->show();
  }
  void TearDown() override {
    ui::JoinBrowserWorkers();
    Settle();
    window_.reset();
    device::CloseMessageService();
    watch_.reset();
    CloseRulesDb();
    ResetMessageDb();
    image_.reset();
  }
  // `message` in the device's code page.
  void Record(const std::string& subject, const std::string& message) {
    int32_t id = 0;
    ASSERT_TRUE(records::Add("SMS", "Anna <anna@example.org>", "5550199",
                             subject.c_str(), message.c_str(), message.c_str(),
                             "", 0, today_.c_str(), "10:00:00", &id)
                    .ok());
  }
  void Refill() {
    ui::RefreshMessageList(window_->browser());
    Settle();
  }
  QString Open(int entry) {
    window_->browser()
        ->ListBox(browser_ids::kMessageList)
        ->setCurrentRow(entry);
    Settle();
    window_->RunCommand(resources::kCmdShowViewer);
    Settle();
    // Painting lays out every image the page names.
    window_->viewer()->viewport()->grab();
    return window_->viewer()->PlainPage();
  }
  std::unique_ptr<testing_support::TestWatch> watch_;
  std::unique_ptr<testing_support::TempImage> image_;
  std::unique_ptr<ui::MainWindow> window_;
  std::string today_;
};

TEST_F(ViewerTest, ShowsThePageOfEachSelectionInTurnDecodedFromTheCodePage) {
  Record("Eins", "one to start");
  Record("Zwei",
         "zw\xC3\xB6lf Stra\xC3\x9F"
         "en");  // the code page of a new image: UTF-8
  Refill();
  ASSERT_EQ(window_->browser()->ListBox(browser_ids::kMessageList)->count(), 2);
  QString first = Open(0);
  EXPECT_TRUE(first.contains("one to start")) << first.toStdString();
  EXPECT_TRUE(window_->ViewerShown());
  window_->RunCommand(resources::kCmdShowBrowser);
  QString second = Open(1);
  EXPECT_TRUE(
      second.contains(QString::fromUtf8("zw\xC3\xB6lf Stra\xC3\x9F"
                                        "en")))
      << second.toStdString();
  EXPECT_FALSE(second.contains("one to start"));
}

// Watches a file for any opening by this process or another.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& path) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    watch_ = inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_ACCESS);
  }
  ~OpenWatch() { close(fd_); }
  bool Ready() const { return fd_ >= 0 && watch_ >= 0; }
  bool Opened() const {
    alignas(inotify_event) char buffer[4096];
    return read(fd_, buffer, sizeof buffer) > 0;
  }

 private:
  int fd_ = -1;
  int watch_ = -1;
};

TEST_F(ViewerTest, ImagesAndLinksOfAMessageAreNeverRead) {
  std::string outside_dir = std::filesystem::temp_directory_path() /
                            ("tarnvex-outside-" + std::to_string(getpid()));
  std::filesystem::create_directories(outside_dir);
  std::string outside = outside_dir + "/secret.png";
  std::string sheet = outside_dir + "/style.css";
  std::string fifo = outside_dir + "/fifo";
  {
    FILE* f = std::fopen(outside.c_str(), "w");
    std::fputs("not an image", f);
    std::fclose(f);
    f = std::fopen(sheet.c_str(), "w");
    std::fputs("body { color: red }", f);
    std::fclose(f);
  }
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  OpenWatch watch_outside(outside), watch_sheet(sheet);
  ASSERT_TRUE(watch_outside.Ready() && watch_sheet.Ready());
  // A reader left waiting on the FIFO is let go after a while, so that a
  // fault fails the test instead of hanging it.
  std::atomic<bool> done{false}, reader_waited{false};
  std::thread guard([&] {
    for (int i = 0; i < 100 && !done; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (done) return;
    int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (w >= 0) {
      reader_waited = true;
      close(w);
    }
  });
  std::string message =
      "Look: <img src=\"/dev/zero\"> <img src=\"" + fifo +
      "\"> <img src=\"file://" + outside + "\" width=\"20\"> <img src=\"" +
      outside + "\"> <a href=\"file://" + outside +
      "\">a link</a> <table background=\"" + outside +
      "\"><tr><td>cell</td></tr></table> "
      "<img src=\"http://example.org/x.png\"> end of text <link "
      "rel=\"stylesheet\" href=\"" +
      sheet + "\"> <style>@import url(\"" + sheet + "\");</style>";
  Record("Pictures", message);
  Refill();
  QString page = Open(0);
  done = true;
  guard.join();
  EXPECT_TRUE(page.contains("end of text")) << page.toStdString();
  EXPECT_TRUE(page.contains("a link"));
  // A click on the link goes nowhere.
  emit window_->viewer()->anchorClicked(
      QUrl::fromLocalFile(QString::fromStdString(outside)));
  Settle();
  EXPECT_FALSE(reader_waited) << "the FIFO was opened";
  EXPECT_FALSE(watch_outside.Opened()) << "a file outside the image was read";
  EXPECT_FALSE(watch_sheet.Opened())
      << "a style sheet outside the image was read";
  // The FIFO has no reader now either.
  int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_LT(w, 0);
  if (w >= 0) close(w);
  std::filesystem::remove_all(outside_dir);
}

TEST_F(ViewerTest, APageThatIsNoRegularFileOrTooLargeShowsNothing) {
  ui::PageView view;
  std::string dir = image_->Host(u"\\Tarnvex");
  std::string fifo = dir + "/fifo.htm";
  std::filesystem::create_directories(dir);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(view.ShowFile(fifo));  // and does not hang
  EXPECT_FALSE(view.ShowFile("/dev/zero"));
  EXPECT_FALSE(view.ShowFile(dir + "/missing.htm"));
  std::string big = dir + "/big.htm";
  {
    FILE* f = std::fopen(big.c_str(), "w");
    std::string chunk(1024 * 1024, 'a');
    for (int i = 0; i < 5; ++i) std::fwrite(chunk.data(), 1, chunk.size(), f);
    std::fclose(f);
  }
  EXPECT_FALSE(view.ShowFile(big));
  EXPECT_TRUE(view.PlainPage().isEmpty());
}

// --- the keyboard
// ---------------------------------------------------------------

class KeyboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    image_ = std::make_unique<testing_support::TempImage>();
    ui::LoadUiTexts();
    boxes_ = std::make_shared<testing_support::RecordingMessageBoxes>();
    device::SetMessageBoxHandler(boxes_);
    window_ = std::make_unique<ui::MainWindow>();
    window_->show();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  }
  void TearDown() override {
    window_.reset();
    device::SetMessageBoxHandler(nullptr);
    image_.reset();
  }
  // Presses keys and reports the popup that came up (closing it again).
  QMenu* PopupAfter(const std::function<void()>& press) {
    struct Look {
      QPointer<QMenu> seen;
      bool finished = false;
    };
    auto state = std::make_shared<Look>();
    auto look = std::make_shared<std::function<void(int)>>();
    *look = [state,
             weak = std::weak_ptr<std::function<void(int)>>(look)](int tries) {
      QTimer::singleShot(20, [state, weak, tries] {
        if (auto* menu =
                qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
          state->seen = menu;
          menu->close();
          state->finished = true;
        } else if (tries > 0) {
          if (auto again = weak.lock()) (*again)(tries - 1);
        } else {
          state->finished = true;
        }
      });
    };
    (*look)(50);
    press();
    for (int i = 0; i < 500 && !state->finished; ++i) QTest::qWait(10);
    return state->seen.data();
  }
  std::unique_ptr<testing_support::TempImage> image_;
  std::shared_ptr<testing_support::RecordingMessageBoxes> boxes_;
  std::unique_ptr<ui::MainWindow> window_;
};

TEST_F(KeyboardTest, F10AltAndTheMenuKeyOpenTheFirstSoftKey) {
  ui::SoftKeyBar* keys = window_->soft_keys();
  EXPECT_EQ(PopupAfter([&] { QTest::keyClick(window_.get(), Qt::Key_F10); }),
            keys->Popup(0));
  EXPECT_EQ(PopupAfter([&] { QTest::keyClick(window_.get(), Qt::Key_Menu); }),
            keys->Popup(0));
  EXPECT_EQ(PopupAfter([&] {
              QTest::keyPress(window_.get(), Qt::Key_Alt, Qt::AltModifier);
              QTest::keyRelease(window_.get(), Qt::Key_Alt);
            }),
            keys->Popup(0));
  // Alt held for another key does not open the menu on its release.
  EXPECT_EQ(PopupAfter([&] {
              QTest::keyPress(window_.get(), Qt::Key_Alt, Qt::AltModifier);
              QTest::keyClick(window_.get(), Qt::Key_X, Qt::AltModifier);
              QTest::keyRelease(window_.get(), Qt::Key_Alt);
            }),
            nullptr);
}

TEST_F(KeyboardTest, AltAndTheUnderlinedLetterOpenEachKey) {
  ui::SoftKeyBar* keys = window_->soft_keys();
  EXPECT_EQ(PopupAfter([&] {
              QTest::keyClick(window_.get(), Qt::Key_H, Qt::AltModifier);
            }),
            keys->Popup(1));
  EXPECT_EQ(PopupAfter([&] {
              QTest::keyClick(window_.get(), Qt::Key_U, Qt::AltModifier);
            }),
            keys->Popup(0));
}

int g_help_runs = 0;

TEST_F(KeyboardTest, F1IsHelpAndEscapeLeavesTheViewer) {
  g_help_runs = 0;
  ui::SetCommandHandler(resources::kCmdHelp, [](QWidget*) { ++g_help_runs; });
  QTest::keyClick(window_.get(), Qt::Key_F1);
  Settle();
  EXPECT_EQ(g_help_runs, 1);
  ui::SetCommandHandler(resources::kCmdHelp, nullptr);
  window_->RunCommand(resources::kCmdShowViewer);
  Settle();
  ASSERT_TRUE(window_->ViewerShown());
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
  Settle();
  EXPECT_FALSE(window_->ViewerShown());
}

TEST_F(KeyboardTest, EscapeClosesTheAboutBoxAsCancel) {
  bool opened = false;
  QObject::connect(window_.get(), &ui::MainWindow::AboutOpened,
                   [&](QWidget* about) {
                     opened = true;
                     EXPECT_EQ(about->windowTitle(), "About - Tarnvex");
                     QTimer::singleShot(50, [] {
                       if (QWidget* modal = QApplication::activeModalWidget())
                         QTest::keyClick(modal, Qt::Key_Escape);
                     });
                   });
  window_->RunCommand(resources::kCmdAbout);  // returns once Escape ended it
  EXPECT_TRUE(opened);
}

TEST_F(KeyboardTest, TheViewersButtonAndMessageBoxButtonsFollowTheUiTexts) {
  ui::SetUiText(resources::kIdTextBack, u"Zurück");
  window_->RefreshTexts();
  QPushButton* back = nullptr;
  for (QPushButton* b : window_->findChildren<QPushButton*>()) {
    if (b->text() == QString::fromUtf8("Zur\xC3\xBC"
                                       "ck"))
      back = b;
  }
  EXPECT_NE(back, nullptr);
  ui::SetUiText(resources::kIdTextBack, u"Back");
  window_->RefreshTexts();

  // The real message boxes, with their buttons relabelled.
  device::SetMessageBoxHandler(nullptr);
  ui::InstallQtMessageBoxes();
  ui::SetUiText(resources::kIdTextCancel, u"Abbrechen");
  QStringList labels;
  QTimer::singleShot(50, [&] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      for (QPushButton* b : modal->findChildren<QPushButton*>())
        labels << b->text();
      modal->close();
    }
  });
  device::ShowMessageBox(u"text", u"caption",
                         device::MessageBoxButtons::kOkCancel);
  EXPECT_TRUE(labels.contains("Abbrechen")) << labels.join(",").toStdString();
  EXPECT_TRUE(labels.contains("OK")) << labels.join(",").toStdString();
  ui::SetUiText(resources::kIdTextCancel, u"Cancel");
}

}  // namespace
