// The start-up order: the storage-card question of the first start comes
// before any window of the program exists; Exit ends the message loop.
#include "ui/startup.h"

#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>
#include <future>
#include <string>

#include "device/image.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "ui/main_window.h"

namespace {

class QuestionBeforeWindows : public testing_support::RecordingMessageBoxes {
 public:
  device::MessageBoxAnswer Show(const std::u16string& text,
                                const std::u16string& caption,
                                device::MessageBoxButtons buttons) override {
    window_existed = ui::TheMainWindow() != nullptr;
    // Storage holds none of its locks while the user answers: another
    // thread reads the locations at once.
    auto read = std::async(std::launch::async,
                           [] { return storage::DatabaseFolder(); });
    storage_free =
        read.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    RecordingMessageBoxes::Show(text, caption, buttons);
    return device::MessageBoxAnswer::kNo;
  }
  bool window_existed = true;
  bool storage_free = false;
  std::future<std::string> read;
};

TEST(StartupTest, TheCardQuestionComesBeforeAnyWindowAndExitEndsTheLoop) {
  testing_support::App();
  testing_support::TempImage image;
  ASSERT_TRUE(device::AddStorageCard(u"Storage Card").ok());
  storage::ResetLocations();
  ResetInitDatabases();
  auto boxes = std::make_shared<QuestionBeforeWindows>();
  device::SetMessageBoxHandler(boxes);  // kept by the start-up
  bool exited_by_command = false;
  QTimer::singleShot(1500, [&] {
    if (ui::MainWindow* window = ui::TheMainWindow()) {
      window->RunCommand(40008);  // Exit
      exited_by_command = true;
    }
  });
  static char name[] = "Tarnvex";
  char* argv[] = {name, nullptr};
  int code = ui::RunTarnvex(1, argv);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(exited_by_command);
  ASSERT_EQ(boxes->shown.size(), 1u);
  EXPECT_EQ(boxes->shown[0], u"Use CF Card?");
  EXPECT_EQ(boxes->captions[0], u"Question");
  EXPECT_FALSE(boxes->window_existed);
  EXPECT_TRUE(boxes->storage_free);
  EXPECT_EQ(ui::TheMainWindow(), nullptr);
  device::SetMessageBoxHandler(nullptr);
}

}  // namespace
