// tarnvex-device's command line as a new user meets it: help for every
// command and sub-command, usage errors that say where the help is, and a
// missing image refused by every command that needs one. The registered
// commands are this program's own copy of the tool's table (the command
// files are linked in), so nothing listed here goes stale.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device/tool/command.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace {

using testing_support::BinPath;
using testing_support::RunProgram;

struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

class ToolCommandLineTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::MakeTempDir("tarnvex-command-line-");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs tarnvex-device ARGS to its end, stdout and stderr apart. A command
  // that should have stopped at once but runs on (run, messaging) is ended
  // after a minute, and fails with timeout's 124.
  Ran Tool(const std::vector<std::string>& args) {
    const std::string err_file = dir_ + "/stderr";
    std::vector<std::string> argv = {
        "/bin/sh", "-c", "timeout 60 \"$0\" \"$@\" 2>\"$E\" </dev/null",
        BinPath("tarnvex-device")};
    argv.insert(argv.end(), args.begin(), args.end());
    Ran ran;
    ran.status = RunProgram(argv, &ran.out, {"E=" + err_file});
    std::ifstream in(err_file);
    ran.err.assign(std::istreambuf_iterator<char>(in), {});
    return ran;
  }

  // An image root that is not there.
  std::string NoImage() const { return dir_ + "/no-image"; }

  std::string dir_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

size_t Columns(const std::string& line) {
  size_t columns = 0;
  for (unsigned char c : line) columns += (c & 0xC0) != 0x80;
  return columns;
}

size_t LeadingBlanks(const std::string& line) {
  return line.find_first_not_of(' ');
}

// Every line within 80 columns, and in each table ("Options:",
// "Commands:", ...) the descriptions start in one column and wrap under
// themselves. A row is "  TERM  DESCRIPTION" (a term alone on its line
// has its description on the next); a deeper line goes on a description.
void ExpectLaidOut(const std::string& help, const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_FALSE(help.empty());
  std::vector<std::string> lines = Lines(help);
  for (const std::string& line : lines)
    EXPECT_LE(Columns(line), 80u) << "\"" << line << "\"";
  size_t text_column = 0;   // 0: not in a table
  bool term_alone = false;  // the last row had no description
  for (const std::string& line : lines) {
    if (!line.empty() && line.back() == ':' && line[0] != ' ') {
      text_column = std::string::npos;  // a table starts: not known yet
      continue;
    }
    if (line.empty()) {
      EXPECT_FALSE(term_alone) << "a term without a description";
      text_column = 0;
      term_alone = false;
    }
    if (text_column == 0 || line.empty()) continue;
    const size_t indent = LeadingBlanks(line);
    if (indent == 2) {
      EXPECT_FALSE(term_alone) << "no description before \"" << line << "\"";
      const size_t gap = line.find("  ", 2);
      term_alone = gap == std::string::npos;
      if (term_alone) continue;
      const size_t column = line.find_first_not_of(' ', gap);
      if (text_column == std::string::npos) text_column = column;
      EXPECT_EQ(column, text_column) << "\"" << line << "\"";
    } else {
      if (text_column != std::string::npos)
        EXPECT_EQ(indent, text_column) << "\"" << line << "\"";
      term_alone = false;
    }
  }
  EXPECT_FALSE(term_alone) << "a term without a description";
}

// The first words of each row of the tool's "Commands:" table.
std::set<std::string> ListedCommands(const std::string& help) {
  std::set<std::string> names;
  bool in_table = false;
  for (const std::string& line : Lines(help)) {
    if (line == "Commands:") {
      in_table = true;
    } else if (line.empty()) {
      in_table = false;
    } else if (in_table && LeadingBlanks(line) == 2) {
      names.insert(line.substr(2, line.find(' ', 2) - 2));
    }
  }
  return names;
}

TEST_F(ToolCommandLineTest, EveryCommandAndSubCommandHasHelpOnStdout) {
  std::set<std::string> registered;
  for (const device_tool::Command& c : device_tool::Commands())
    registered.insert(c.name);
  ASSERT_GE(registered.size(), 10u);

  for (const char* help : {"--help", "-h"}) {
    // Help needs no image.
    Ran ran = Tool({"--root", NoImage(), help});
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.err, "");
    EXPECT_EQ(ran.out.rfind("Usage: tarnvex-device", 0), 0u) << ran.out;
    ExpectLaidOut(ran.out, help);
    EXPECT_EQ(ListedCommands(ran.out), registered) << ran.out;
  }

  for (const device_tool::Command& c : device_tool::Commands()) {
    for (const char* help : {"--help", "-h"}) {
      Ran ran = Tool({"--root", NoImage(), c.name, help});
      const std::string what = std::string(c.name) + " " + help;
      EXPECT_EQ(ran.status, 0) << what << ": " << ran.err;
      EXPECT_EQ(ran.err, "") << what;
      EXPECT_EQ(
          ran.out.rfind(std::string("Usage: tarnvex-device ") + c.name, 0), 0u)
          << what << ":\n"
          << ran.out;
      ExpectLaidOut(ran.out, what);
    }
    for (const device_tool::SubCommand& sub : c.subcommands) {
      const std::string what = std::string(c.name) + " " + sub.name;
      Ran ran = Tool({"--root", NoImage(), c.name, sub.name, "--help"});
      EXPECT_EQ(ran.status, 0) << what << ": " << ran.err;
      EXPECT_EQ(ran.err, "") << what;
      EXPECT_EQ(ran.out.rfind("Usage: tarnvex-device " + what, 0), 0u)
          << what << ":\n"
          << ran.out;
      ExpectLaidOut(ran.out, what + " --help");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(NoImage()));
}

TEST_F(ToolCommandLineTest, AUsageErrorSaysWhyInOneLineAndWhereTheHelpIs) {
  ASSERT_EQ(Tool({"--root", dir_, "init"}).status, 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* why;
    const char* help_of;
  } cases[] = {
      {{"no-such-command"}, 2, "unknown command", "tarnvex-device"},
      {{"--no-such-option", "ls"}, 2, "unknown option", "tarnvex-device"},
      {{}, 2, "no command", "tarnvex-device"},
      {{"send", "--store", "SMS"}, 2, "--to", "tarnvex-device send"},
      {{"ls", "--bogus"}, 2, "--bogus", "tarnvex-device ls"},
      {{"card", "add"}, 2, "card needs", "tarnvex-device card add"},
      {{"store", "rename", "SMS"}, 2, "store needs", "tarnvex-device store"},
      {{"clock", "set", "2026-02-30T12:00"},
       2,
       "not a valid date",
       "tarnvex-device clock set"},
      {{"run", "--send-delay-ms", "soon"},
       2,
       "--send-delay-ms",
       "tarnvex-device run"},
      {{"sendmail", "-x"}, 64, "unknown option", "tarnvex-device sendmail"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--root", dir_};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Ran ran = Tool(args);
    SCOPED_TRACE(c.help_of + std::string(": ") + ran.err);
    EXPECT_EQ(ran.status, c.status);
    EXPECT_EQ(ran.out, "");
    std::vector<std::string> lines = Lines(ran.err);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("tarnvex-device: ", 0), 0u);
    EXPECT_NE(lines[0].find(c.why), std::string::npos);
    EXPECT_EQ(lines[1], std::string("Try '") + c.help_of + " --help'.");
  }
}

TEST_F(ToolCommandLineTest, EveryCommandButInitRefusesAMissingImage) {
  // Command lines each command would take on an existing image, every form
  // of it; a command not named here is run bare.
  const std::map<std::string, std::vector<std::vector<std::string>>> forms = {
      {"card", {{"add", "Storage Card"}, {"remove", "Storage Card"}, {"list"}}},
      {"clock", {{}, {"set", "2026-03-01T23:59"}, {"real"}}},
      {"filter", {{"add", "Tarnvex"}, {"remove", "Tarnvex"}, {"list"}}},
      {"install", {{"--from", dir_}}},
      {"ls", {{"--store", "SMS"}}},
      {"mail", {{"show"}, {"reset"}, {"submission", "--port", "2526"}}},
      {"messaging", {{"--store", "SMS", "--headless"}}},
      {"run", {{"--send-delay-ms", "0", "--no-submission"}}},
      {"screenshot", {{dir_ + "/screen.png"}}},
      {"send", {{"--store", "SMS", "--to", "1", "--body", "x"}}},
      {"sendmail", {{"bob@example.org"}}},
      {"store", {{"add", "Work"}, {"list"}}},
  };
  int runs = 0;
  for (const device_tool::Command& c : device_tool::Commands()) {
    if (!c.needs_image) continue;
    auto listed = forms.find(c.name);
    for (const std::vector<std::string>& form :
         listed != forms.end() ? listed->second
                               : std::vector<std::vector<std::string>>{{}}) {
      // Each its own root: what one made cannot hide another's fault.
      const std::string root = NoImage() + "-" + std::to_string(++runs);
      std::vector<std::string> argv = {"--root", root, c.name};
      argv.insert(argv.end(), form.begin(), form.end());
      Ran ran = Tool(argv);
      std::string what = c.name;
      for (const std::string& a : form) what += " " + a;
      SCOPED_TRACE(what + ": " + ran.err);
      // sendmail's callers retry a temporary failure later.
      EXPECT_EQ(ran.status, std::string(c.name) == "sendmail" ? 75 : 1);
      EXPECT_EQ(ran.out, "");
      EXPECT_EQ(std::count(ran.err.begin(), ran.err.end(), '\n'), 1);
      EXPECT_NE(ran.err.find("no device image at " + root + " "),
                std::string::npos);
      EXPECT_FALSE(std::filesystem::exists(root)) << "made by " << what;
    }
  }
  // init makes it, and then the others find it.
  EXPECT_EQ(Tool({"--root", NoImage(), "init"}).status, 0);
  EXPECT_EQ(Tool({"--root", NoImage(), "info"}).status, 0);
}

}  // namespace
