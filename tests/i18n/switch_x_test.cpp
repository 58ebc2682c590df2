// Choosing a language the way a user does, under a real X server with a
// window manager: the Help soft key's popup opens, its Language item opens
// the chooser, a language is selected, Select and Ok pressed; twenty times
// in one process. The chooser runs inside the popup's own handler, so a
// switch that destroyed that popup would crash here (the popups must be the
// same objects throughout).
#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "device/message_box.h"
#include "i18n/catalogue.h"
#include "i18n/chooser.h"
#include "i18n/languages.h"
#include "resources/control_ids.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "tests/support/child_process.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/x_display.h"
#include "ui/main_window.h"
#include "ui/soft_keys.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace {

namespace chooser_ids = resources::chooser_ids;
namespace shared_ids = resources::shared_ids;

constexpr int kSwitches = 20;
constexpr char kChildVariable[] = "TARNVEX_X_CHILD";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Runs `act` once `ready` holds (polled from the event loop), or `give_up`
// after about five seconds.
void When(std::function<bool()> ready, std::function<void()> act,
          std::function<void()> give_up, int tries = 250) {
  QTimer::singleShot(20, [=] {
    if (ready()) {
      act();
    } else if (tries > 0) {
      When(ready, act, give_up, tries - 1);
    } else {
      give_up();
    }
  });
}

void InstallSupportFile(testing_support::TempImage* image,
                        const std::string& code) {
  std::string source = std::string(std::getenv("TARNVEX_SOURCE_DIR")) +
                       "/resources/lang/emn/Tarnvex.emn." + code;
  std::ifstream in(source, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
  ASSERT_FALSE(content.empty()) << source;
  image->WriteFile(u"\\Program Files\\Tarnvex\\emn\\Tarnvex.emn." +
                       std::u16string(code.begin(), code.end()),
                   content);
}

// The part that runs on the X display.
TEST(LanguageSwitchOnX, Child) {
  if (std::getenv(kChildVariable) == nullptr)
    GTEST_SKIP() << "runs inside the X test only";
  testing_support::App();
  storage::ResetLocations();
  ResetInitDatabases();
  testing_support::TempImage image;
  FindInstallFolder();
  ui::LoadUiTexts();
  i18n::ResetLanguageState();
  auto boxes = std::make_shared<testing_support::RecordingMessageBoxes>();
  device::SetMessageBoxHandler(boxes);
  InstallSupportFile(&image, "deu");
  InstallSupportFile(&image, "fre");
  ui::MainWindow window;
  i18n::InstallLanguageCommands();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  ui::SoftKeyBar* keys = window.soft_keys();
  QPointer<QMenu> use_popup = keys->Popup(0);
  QPointer<QMenu> help_popup = keys->Popup(1);
  struct Language {
    const char* name;
    int menu;
    std::u16string first_key, language_item;
  };
  const Language languages[] = {
      {"German", 54201, u"Erwerbstätigkeit", u"Linguistisch"},
      {"French", 53501, u"L'usage", u"Langue"}};
  bool failed = false;
  auto give_up = [&] {
    failed = true;
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
  };
  for (int i = 0; i < kSwitches && !failed; ++i) {
    const Language& language = languages[i % 2];
    QMenu* help = keys->Popup(1);
    When(
        [help] {
          return help->isVisible() && QApplication::activePopupWidget() == help;
        },
        [help] {
          QAction* item = help->actions()[1];  // Language
          QTest::mouseClick(help, Qt::LeftButton, {},
                            help->actionGeometry(item).center());
        },
        give_up);
    When(
        [] {
          return qobject_cast<i18n::LanguageChooser*>(
              QApplication::activeModalWidget());
        },
        [&language] {
          auto* chooser = qobject_cast<i18n::LanguageChooser*>(
              QApplication::activeModalWidget());
          chooser->SelectNames({language.name});
          qobject_cast<QPushButton*>(
              chooser->page()->Control(chooser_ids::kSelectButton))
              ->click();
          qobject_cast<QPushButton*>(
              chooser->page()->Control(shared_ids::kOkButton))
              ->click();
        },
        give_up);
    keys->OpenKey(1);  // returns once the popup and the chooser are done
    QApplication::processEvents();
    ASSERT_FALSE(failed) << "switch " << i
                         << ": the popup or the chooser did not come up";
    EXPECT_EQ(i18n::CurrentMenuId(), language.menu) << i;
    EXPECT_EQ(keys->KeyText(0), language.first_key) << i;
    EXPECT_EQ(ui::PlainText(keys->Popup(1)->actions()[1]->text()),
              QString::fromStdU16String(language.language_item))
        << i;
  }
  EXPECT_TRUE(boxes->shown.empty());
  // The popups of the first bar are the ones still in use.
  EXPECT_FALSE(use_popup.isNull());
  EXPECT_FALSE(help_popup.isNull());
  EXPECT_EQ(keys->Popup(0), use_popup.data());
  EXPECT_EQ(keys->Popup(1), help_popup.data());
  std::printf("switches done: %d\n", kSwitches);
  device::SetMessageBoxHandler(nullptr);
  i18n::ResetLanguageState();
}

TEST(LanguageSwitchOnX, TwentySwitchesFromTheSoftKeyUnderARealXServer) {
  testing_support::XDisplay x;
  std::string why;
  if (!x.Start("1280x1024x24", &why))
    GTEST_SKIP() << "no X server for this test: " << why;
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> argv = {self,
                                   "--gtest_filter=LanguageSwitchOnX.Child"};
  // glibc's heap checks catch a write into freed memory where no sanitizer
  // owns the heap; valgrind, where it is installed, does so in any build
  // that has no sanitizer.
  bool valgrind = !kSanitized && std::filesystem::exists("/usr/bin/valgrind");
  if (valgrind) {
    argv.insert(argv.begin(),
                {"/usr/bin/valgrind", "--error-exitcode=99", "--quiet"});
  }
  testing_support::ChildProcess child;
  ASSERT_TRUE(child.Start(
      argv,
      {std::string(kChildVariable) + "=1", "DISPLAY=" + x.display(),
       "QT_QPA_PLATFORM=xcb", "MALLOC_CHECK_=3", "MALLOC_PERTURB_=165"},
      true));
  std::string line, all;
  while (child.ReadLine(&line, valgrind ? 300000 : 120000)) all += line + "\n";
  int status = 0;
  ASSERT_TRUE(child.Wait(30000, &status)) << all;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "status " << status << "\n"
      << all;
  EXPECT_NE(all.find("switches done: 20"), std::string::npos) << all;
  EXPECT_NE(all.find("[  PASSED  ] 1 test"), std::string::npos) << all;
}

}  // namespace
