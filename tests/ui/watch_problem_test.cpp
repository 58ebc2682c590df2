// A watch that fails is told to the user: with a service file that is no
// database, the program starts, shows its window and says in a message box
// that it cannot watch the message stores (and keeps trying).
#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "device/codepage.h"
#include "device/image.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/rules_db.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "ui/main_window.h"
#include "ui/startup.h"

namespace {

// A service file that is no database.
void WriteJunkServiceFile() {
  std::ofstream junk(device::MessageServicePath(),
                     std::ios::trunc | std::ios::binary);
  for (int i = 0; i < 4096; ++i) junk.put(static_cast<char>((i * 7919) & 0xff));
}

// Runs the program in this process and chooses Exit after `ms`.
void RunUntilExit(int ms) {
  QTimer::singleShot(ms, [] {
    if (ui::MainWindow* window = ui::TheMainWindow())
      window->RunCommand(40008);  // Exit
  });
  static char name[] = "Tarnvex";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(ui::RunTarnvex(1, argv), 0);
}

TEST(WatchProblemTest, AnUnusableServiceFileIsSaidInAMessageBox) {
  testing_support::App();
  testing_support::TempImage image;
  WriteJunkServiceFile();
  storage::ResetLocations();
  auto boxes = std::make_shared<testing_support::RecordingMessageBoxes>();
  device::SetMessageBoxHandler(boxes);
  RunUntilExit(1500);
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

// A box that stays open until the watch stands again (or long past when it
// should have).
class BoxOpenUntilWatched : public testing_support::RecordingMessageBoxes {
 public:
  device::MessageBoxAnswer Show(const std::u16string& text,
                                const std::u16string& caption,
                                device::MessageBoxButtons buttons) override {
    RecordingMessageBoxes::Show(text, caption, buttons);
    if (device::WideToUtf8(text).find("cannot watch") == std::string::npos)
      return device::MessageBoxAnswer::kOk;
    // The user reads the box; meanwhile the service file is repaired.
    std::filesystem::remove(device::MessageServicePath());
    const base::Status made = device::CreateStore("SMS");
    EXPECT_TRUE(made.ok()) << made.message();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (!ui::Watch()->Problem().empty() &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    watched_while_open = ui::Watch()->Problem().empty();
    return device::MessageBoxAnswer::kOk;
  }
  bool watched_while_open = false;
};

TEST(WatchProblemTest, MonitoringTriesAgainWhileItsBoxIsOpen) {
  testing_support::App();
  testing_support::TempImage image;
  WriteJunkServiceFile();
  storage::ResetLocations();
  auto boxes = std::make_shared<BoxOpenUntilWatched>();
  device::SetMessageBoxHandler(boxes);
  RunUntilExit(1500);
  EXPECT_TRUE(boxes->watched_while_open);
  device::SetMessageBoxHandler(nullptr);
}

TEST(WatchProblemTest, ADamagedRulesFileIsSaidOnceAndSetAside) {
  testing_support::App();
  testing_support::TempImage image;
  image.WriteFile(u"\\Program Files\\Tarnvex\\dba\\Rules_0.db",
                  std::string(4096, 'x'));
  storage::ResetLocations();
  ResetInitDatabases();
  ResetRuleTable();
  CloseRulesDb();
  auto boxes = std::make_shared<testing_support::RecordingMessageBoxes>();
  device::SetMessageBoxHandler(boxes);
  RunUntilExit(2500);
  int said = 0;
  for (const std::u16string& text : boxes->shown) {
    if (device::WideToUtf8(text).find("could not be used") != std::string::npos)
      ++said;
  }
  EXPECT_EQ(said, 1);
  // The damaged file is kept beside the new one, which has the rules table.
  int kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(
           image.Host(u"\\Program Files\\Tarnvex\\dba"))) {
    if (entry.path().filename().string().rfind("Rules_0.db.damaged-", 0) == 0)
      ++kept;
  }
  EXPECT_EQ(kept, 1);
  EXPECT_TRUE(AddRule("", "5550100", "", 90.0f).ok());
  CloseRulesDb();
  device::SetMessageBoxHandler(nullptr);
}

}  // namespace
