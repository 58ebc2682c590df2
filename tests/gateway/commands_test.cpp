// tarnvex-milter's commands as a user runs them: help, wrong command lines
// (status 2 and where the help is), rules added, listed and deleted, the
// held listing, and a data folder that is not there (status 1).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace {

using testing_support::BinPath;
using testing_support::ChildProcess;

struct Outcome {
  int status = -1;
  std::string output;  // stdout and stderr
};

Outcome Milter(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {BinPath("tarnvex-milter")};
  argv.insert(argv.end(), args.begin(), args.end());
  Outcome run;
  ChildProcess child;
  if (!child.Start(argv, {}, true)) return run;
  std::string line;
  while (child.ReadLine(&line, 30000)) run.output += line + "\n";
  int status = 0;
  if (child.Wait(30000, &status) && WIFEXITED(status))
    run.status = WEXITSTATUS(status);
  return run;
}

class CommandsTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = testing_support::MakeTempDir("tarnvex-cmd-"); }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};

TEST_F(CommandsTest, HelpGoesToStandardOutput) {
  Outcome run = Milter({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output.rfind("Usage: tarnvex-milter --listen SOCKET", 0), 0u);
  run = Milter({"rules", "add", "--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("--recipients TEXT"), std::string::npos);
  EXPECT_EQ(Milter({"help", "held"}).output, Milter({"held", "--help"}).output);
}

TEST_F(CommandsTest, WrongCommandLineIsStatusTwoWithItsHelp) {
  Outcome run = Milter({"rules", "add", "--data", dir_});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.output,
            "tarnvex-milter: rules add needs --recipients TEXT with an address "
            "in it\nTry 'tarnvex-milter rules add --help'.\n");
  run = Milter({});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("Try 'tarnvex-milter --help'."), std::string::npos);
}

TEST_F(CommandsTest, MissingDataFolderIsStatusOne) {
  const Outcome run = Milter({"rules", "list", "--data", dir_ + "/none"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "tarnvex-milter: no data folder " + dir_ + "/none\n");
}

TEST_F(CommandsTest, RulesAddedListedAndDeleted) {
  Outcome run = Milter({"rules", "add", "--recipients",
                        "anna@example.org, o'neil@x", "--sender", "boss",
                        "--words", "Quarterly invoices", "--data", dir_});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "Added rule 1\n");
  EXPECT_EQ(Milter({"rules", "add", "--recipients", "bob@example.org", "--data",
                    dir_})
                .output,
            "Added rule 2\n");
  // The same texts again update the rule, not a second one.
  EXPECT_EQ(Milter({"rules", "add", "--recipients", "bob@example.org", "--data",
                    dir_})
                .output,
            "Added rule 2\n");
  run = Milter({"rules", "list", "--data", dir_});
  EXPECT_EQ(run.output,
            "1\tanna@example.org, o neil@x\tboss\tQuarterly invoices\n"
            "2\tbob@example.org\t\t\n");
  EXPECT_EQ(Milter({"rules", "delete", "--id", "1", "--data", dir_}).output,
            "Deleted 1 rule\n");
  run = Milter({"rules", "delete", "--id", "1", "--data", dir_});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "tarnvex-milter: no rule 1\n");
  run = Milter({"rules", "delete", "--recipients", "nobody@x", "--data", dir_});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Milter({"rules", "delete", "--recipients", "bob@example.org",
                    "--data", dir_})
                .status,
            0);
  EXPECT_EQ(Milter({"rules", "list", "--data", dir_}).output, "");
  // The rules file is the rules editor's: its table and columns.
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/Rules_0.db"));
}

TEST_F(CommandsTest, HeldOfAnEmptyFolderListsNothing) {
  Outcome run = Milter({"held", "--data", dir_, "--day", "0", "--status", "0"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "");
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/Gateway.db"));
}

// A unix socket for its owner and group only (0660, the group named), and
// a stop by SIGTERM that ends with the milter's closing line, status 0.
TEST_F(CommandsTest, UnixSocketIsPrivateAndSigtermEndsCleanly) {
  const std::string socket = dir_ + "/milter.sock";
  ChildProcess milter;
  ASSERT_TRUE(
      milter.Start({BinPath("tarnvex-milter"), "--listen", "unix:" + socket,
                    "--data", dir_, "--socket-group", "root"},
                   {}, true));
  ASSERT_TRUE(milter.WaitForLine("tarnvex-milter: listening on unix:"));
  struct stat st;
  ASSERT_EQ(stat(socket.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(st.st_gid, 0u);
  milter.Kill(SIGTERM);
  std::string line;
  EXPECT_TRUE(
      milter.WaitForLine("tarnvex-milter: judged 0 messages", &line, 15000));
  int status = -1;
  ASSERT_TRUE(milter.Wait(15000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A stop right after the start. libmilter's listener (turned fast by a
// preloaded poll() that never waits) may look for a stop just before the
// stop closes its socket, and then fails; that is still the stop asked for,
// and the milter ends with status 0 every time.
TEST_F(CommandsTest, AStopRightAfterTheStartEndsCleanly) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::vector<std::string> env = {
      std::string("LD_PRELOAD=") + LISTENER_SPIN_SHIM,
      // The shim comes before the sanitizer's runtime.
      "ASAN_OPTIONS=" + (asan != nullptr ? std::string(asan) + ":" : "") +
          "verify_asan_link_order=0"};
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    ChildProcess milter;
    ASSERT_TRUE(milter.Start(
        {BinPath("tarnvex-milter"), "--listen",
         "unix:" + dir_ + "/m" + std::to_string(i), "--data", dir_},
        env, true));
    std::string said;
    ASSERT_TRUE(milter.WaitForLine("tarnvex-milter: listening on ", &said));
    milter.Kill(SIGTERM);
    int status = -1;
    ASSERT_TRUE(milter.Wait(15000, &status));
    while (milter.ReadLine(&said, 0)) {
      EXPECT_EQ(said.find("smfi_main failed"), std::string::npos) << said;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

// The systemd unit (gateway/tarnvex-milter.service) is clean for systemd's
// own check, with its ExecStart at the program as built.
TEST_F(CommandsTest, ServiceUnitVerifiesClean) {
  if (access("/usr/bin/systemd-analyze", X_OK) != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  const char* source = std::getenv("TARNVEX_SOURCE_DIR");
  std::ifstream in(std::string(source != nullptr ? source : ".") +
                   "/gateway/tarnvex-milter.service");
  std::stringstream text;
  text << in.rdbuf();
  std::string unit = text.str();
  ASSERT_NE(unit.find("ExecStart=/usr/local/bin/tarnvex-milter "),
            std::string::npos);
  const std::string program =
      std::filesystem::absolute(BinPath("tarnvex-milter")).string();
  unit.replace(unit.find("/usr/local/bin/tarnvex-milter"),
               std::strlen("/usr/local/bin/tarnvex-milter"), program);
  const std::string path = dir_ + "/tarnvex-milter.service";
  std::ofstream(path) << unit;
  const Outcome run = [&] {
    Outcome r;
    ChildProcess child;
    child.Start({"/usr/bin/systemd-analyze", "verify", path}, {}, true);
    std::string line;
    while (child.ReadLine(&line, 30000)) r.output += line + "\n";
    int status = 0;
    if (child.Wait(30000, &status) && WIFEXITED(status))
      r.status = WEXITSTATUS(status);
    return r;
  }();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "");
}

}  // namespace
