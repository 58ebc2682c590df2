// A watch that fails is told to the user: with a service file that is no
// database, the program starts, shows its window and says in a message box
// that it cannot watch the message stores (and keeps trying).
#include <gtest/gtest.h>

#include <QTimer>
#include <fstream>
#include <string>

#include "device/codepage.h"
#include "device/image.h"
#include "storage/locations.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "ui/main_window.h"
#include "ui/startup.h"

namespace {

TEST(WatchProblemTest, AnUnusableServiceFileIsSaidInAMessageBox) {
  testing_support::App();
  testing_support::TempImage image;
  {
    std::ofstream junk(device::MessageServicePath(),
                       std::ios::trunc | std::ios::binary);
    for (int i = 0; i < 4096; ++i)
      junk.put(static_cast<char>((i * 7919) & 0xff));
  }
  storage::ResetLocations();
  auto boxes = std::make_shared<testing_support::RecordingMessageBoxes>();
  device::SetMessageBoxHandler(boxes);
  QTimer::singleShot(1500, [] {
    if (ui::MainWindow* window = ui::TheMainWindow())
      window->RunCommand(40008);  // Exit
  });
  static char name[] = "Tarnvex";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(ui::RunTarnvex(1, argv), 0);
  bool said = false;
  for (size_t i = 0; i < boxes->shown.size(); ++i) {
    if (device::WideToUtf8(boxes->shown[i])
            .find("cannot watch the message stores") != std::string::npos) {
      said = true;
      EXPECT_EQ(boxes->captions[i], u"Error");
    }
  }
  EXPECT_TRUE(said);
  device::SetMessageBoxHandler(nullptr);
}

}  // namespace
