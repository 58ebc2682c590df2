// tarnvex-device as a user runs it: exit codes and messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

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

}  // namespace
