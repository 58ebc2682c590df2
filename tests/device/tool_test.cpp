// tarnvex-device as a user runs it: exit codes and messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "device/clock.h"
#include "device/image.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace {

using testing_support::BinPath;
using testing_support::RunProgram;

int Tool(const std::string& root, std::vector<std::string> args, std::string* out = nullptr) {
  std::vector<std::string> argv = {BinPath("tarnvex-device"), "--root", root};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, out);
}

TEST(ToolTest, InitCardsAndStores) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  std::string out;
  EXPECT_EQ(Tool(root, {"init"}, &out), 0);
  EXPECT_NE(out.find("Device image ready"), std::string::npos);
  EXPECT_EQ(Tool(root, {"init"}), 0);  // again: nothing lost
  EXPECT_EQ(Tool(root, {"store", "list"}, &out), 0);
  EXPECT_EQ(out, "SMS\nMMS\nE-mail\nActiveSync\n");
  EXPECT_EQ(Tool(root, {"card", "add", "Storage Card"}), 0);
  EXPECT_TRUE(std::filesystem::is_directory(root + "/Storage Card"));
  EXPECT_EQ(Tool(root, {"card", "list"}, &out), 0);
  EXPECT_EQ(out, "Storage Card\n");
  EXPECT_EQ(Tool(root, {"card", "remove", "Storage Card"}), 0);
  EXPECT_EQ(Tool(root, {"card", "list"}, &out), 0);
  EXPECT_EQ(out, "");
  std::filesystem::remove_all(root);
}

TEST(ToolTest, BadArgumentsFailWithANonZeroStatus) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  std::string out;
  EXPECT_EQ(RunProgram({BinPath("tarnvex-device"), "--help"}, &out), 0);
  EXPECT_NE(out.find("send --store S"), std::string::npos);
  EXPECT_NE(Tool(root, {"no-such-command"}), 0);
  EXPECT_NE(Tool(root, {"send", "--store", "SMS"}), 0);  // no image yet, no --to
  EXPECT_EQ(Tool(root, {"init"}), 0);
  EXPECT_NE(Tool(root, {"send", "--store", "Nope", "--to", "1", "--body", "x"}), 0);
  EXPECT_NE(Tool(root, {"send", "--store", "SMS", "--to", "1", "--body-file", "/no/such"}), 0);
  EXPECT_NE(Tool(root, {"card", "add", std::string(64, 'c')}), 0);
  EXPECT_NE(Tool(root, {"run", "--send-delay-ms", "abc"}), 0);
  EXPECT_NE(Tool(root, {"messaging"}), 0);
  std::filesystem::remove_all(root);
}

TEST(ToolTest, AServiceFileThatIsNoDatabaseIsRefusedAndLeftAsItIs) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  ASSERT_EQ(Tool(root, {"init"}), 0);
  std::string path = root + "/.device/messages.db";
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");
  std::string garbage(8192, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 131 + 7);
  {
    std::ofstream out(path, std::ios::binary);
    out << garbage;
  }
  EXPECT_NE(Tool(root, {"ls"}), 0);
  EXPECT_NE(Tool(root, {"send", "--store", "SMS", "--to", "1", "--body", "x"}), 0);
  EXPECT_NE(Tool(root, {"init"}), 0);
  std::ifstream in(path, std::ios::binary);
  std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(after, garbage);
  std::filesystem::remove_all(root);
}

TEST(ToolTest, SendAndList) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  ASSERT_EQ(Tool(root, {"init"}), 0);
  std::string out;
  ASSERT_EQ(Tool(root, {"send", "--store", "SMS", "--to", "555 0199", "--to", "5550111",
                        "--subject", "Hi\tthere", "--from", "Anna <anna@example.org>", "--body",
                        "x'); DROP TABLE messages; --"},
                 &out),
            0);
  EXPECT_EQ(out, "1\n");
  ASSERT_EQ(Tool(root, {"ls", "--store", "SMS"}, &out), 0);
  EXPECT_EQ(out, "1\tSMS\tOutbox\tunsent\t555 0199, 5550111\tHi there\n");
  ASSERT_EQ(Tool(root, {"ls", "--folder", "Sent Items"}, &out), 0);
  EXPECT_EQ(out, "");
  std::filesystem::remove_all(root);
}

// The tool's exit status, with its stderr joined to its stdout.
int ToolWithErrors(const std::string& root, std::vector<std::string> args, std::string* out) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "\"$0\" \"$@\" 2>&1",
                                   BinPath("tarnvex-device"), "--root", root};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, out);
}

TEST(ToolTest, ClockSetIsReadByProgramsStartedAfterwards) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  std::string out;
  ASSERT_EQ(Tool(root, {"init"}), 0);
  ASSERT_EQ(Tool(root, {"clock", "set", "2026-03-01T23:59"}, &out), 0);
  EXPECT_EQ(out.rfind("2026-03-01T23:59:", 0), 0u) << out;
  ASSERT_EQ(Tool(root, {"clock"}, &out), 0);
  EXPECT_EQ(out.rfind("2026-03-01T23:5", 0), 0u) << out;
  EXPECT_NE(out.find("set"), std::string::npos) << out;

  // A program started on the same image reads the same device clock.
  device::SetImageRoot(root);
  device::LocalTime now = device::Now();
  EXPECT_EQ(device::LocalTimeText(now).substr(0, 15), "2026-03-01T23:5");

  EXPECT_NE(ToolWithErrors(root, {"clock", "set", "2026-02-29T12:00"}, &out), 0);
  EXPECT_NE(out.find("not a valid date and time"), std::string::npos) << out;
  EXPECT_NE(Tool(root, {"clock", "set"}), 0);
  EXPECT_NE(Tool(root, {"clock", "later"}), 0);
  EXPECT_EQ(device::LocalTimeText(device::Now()).substr(0, 15), "2026-03-01T23:5");

  ASSERT_EQ(Tool(root, {"clock", "real"}, &out), 0);
  EXPECT_NE(out.find("real clock"), std::string::npos) << out;
  bool is_set = true;
  device::DeviceClockOffsetMs(&is_set);
  EXPECT_FALSE(is_set);
  device::SetImageRoot("");
  std::filesystem::remove_all(root);
}

TEST(ToolTest, CardNamesOutsideTheCodePageAreRefusedWithAMessage) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  std::string out;
  ASSERT_EQ(Tool(root, {"init"}), 0);
  for (std::string name : {"\xd0\x9a\xd0\xb0\xd1\x80\xd1\x82\xd0\xb0",  // Карта
                           "\xe8\xa8\x98\xe6\x86\xb6\xe5\x8d\xa1"}) {    // 記憶卡
    EXPECT_EQ(ToolWithErrors(root, {"card", "add", name}, &out), 1);
    EXPECT_NE(out.find("card name \"" + name + "\" is refused"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(root + "/" + name));
  }
  EXPECT_EQ(ToolWithErrors(root, {"card", "add", "SD:1"}, &out), 1);
  EXPECT_NE(out.find("cannot hold"), std::string::npos) << out;
  EXPECT_EQ(Tool(root, {"card", "list"}, &out), 0);
  EXPECT_EQ(out, "");
  std::filesystem::remove_all(root);
}

}  // namespace
