// tarnvex-device as a user runs it: exit codes and messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "device/clock.h"
#include "device/image.h"
#include "tests/device/other_user.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace {

using testing_support::BinPath;
using testing_support::RunProgram;

int Tool(const std::string& root, std::vector<std::string> args,
         std::string* out = nullptr) {
  std::vector<std::string> argv = {BinPath("tarnvex-device"), "--root", root};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, out);
}

// Runs the tool to its end; its exit status, and its stdout and stderr
// together in *said.
int ToolSays(const std::string& root, std::vector<std::string> args,
             std::string* said) {
  std::vector<std::string> argv = {BinPath("tarnvex-device"), "--root", root};
  argv.insert(argv.end(), args.begin(), args.end());
  testing_support::ChildProcess tool;
  if (!tool.Start(argv, {}, /*merge_stderr=*/true)) return -1;
  said->clear();
  std::string line;
  while (tool.ReadLine(&line, 60000)) *said += line + "\n";
  int status = 0;
  if (!tool.Wait(60000, &status) || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ToolTest, InitCardsAndStores) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  std::string out;
  EXPECT_EQ(Tool(root, {"init"}, &out), 0);
  EXPECT_NE(out.find("Device image ready"), std::string::npos);
  EXPECT_EQ(Tool(root, {"init"}), 0);  // again: nothing lost
  // A new image keeps UTF-8, and keeps it.
  EXPECT_EQ(Tool(root, {"info"}, &out), 0);
  EXPECT_NE(out.find("Code page: 65001 (UTF-8)\n"), std::string::npos) << out;
  std::string said;
  EXPECT_EQ(ToolSays(root, {"init", "--codepage", "1252"}, &said), 1);
  EXPECT_NE(said.find("keeps code page 65001"), std::string::npos) << said;
  EXPECT_EQ(ToolSays(root, {"init", "--codepage", "437"}, &said), 2);
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
  EXPECT_NE(out.find("\n  send "), std::string::npos);
  EXPECT_NE(Tool(root, {"no-such-command"}), 0);
  EXPECT_NE(Tool(root, {"send", "--store", "SMS"}),
            0);  // no image yet, no --to
  EXPECT_EQ(Tool(root, {"init"}), 0);
  EXPECT_NE(Tool(root, {"send", "--store", "Nope", "--to", "1", "--body", "x"}),
            0);
  EXPECT_NE(Tool(root, {"send", "--store", "SMS", "--to", "1", "--body-file",
                        "/no/such"}),
            0);
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
  for (size_t i = 0; i < garbage.size(); ++i)
    garbage[i] = static_cast<char>(i * 131 + 7);
  {
    std::ofstream out(path, std::ios::binary);
    out << garbage;
  }
  EXPECT_NE(Tool(root, {"ls"}), 0);
  EXPECT_NE(Tool(root, {"send", "--store", "SMS", "--to", "1", "--body", "x"}),
            0);
  EXPECT_NE(Tool(root, {"init"}), 0);
  std::ifstream in(path, std::ios::binary);
  std::string after((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
  EXPECT_EQ(after, garbage);
  std::filesystem::remove_all(root);
}

TEST(ToolTest, SendAndList) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  ASSERT_EQ(Tool(root, {"init"}), 0);
  std::string out;
  ASSERT_EQ(
      Tool(root,
           {"send", "--store", "SMS", "--to", "555 0199", "--to", "5550111",
            "--subject", "Hi\tthere", "--from", "Anna <anna@example.org>",
            "--body", "x'); DROP TABLE messages; --"},
           &out),
      0);
  EXPECT_EQ(out, "Saved message 1 in SMS\\Outbox\n");
  ASSERT_EQ(Tool(root,
                 {"send", "--store", "E-mail", "--to", "bob@example.org",
                  "--body", "x"},
                 &out),
            0);
  EXPECT_EQ(out, "Saved message 2 in E-mail\\Outbox\n");
  ASSERT_EQ(Tool(root, {"ls", "--store", "SMS"}, &out), 0);
  EXPECT_EQ(out, "1\tSMS\tOutbox\tunsent\t555 0199, 5550111\tHi there\n");
  ASSERT_EQ(Tool(root, {"ls", "--folder", "Sent Items"}, &out), 0);
  EXPECT_EQ(out, "");
  std::filesystem::remove_all(root);
}

// show prints a message whole, its outside text harmless to a terminal;
// rm throws one away and takes only a message id that exists.
TEST(ToolTest, ShowPrintsAMessageAndRmThrowsItAwayOnlyByAnIdThatExists) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  ASSERT_EQ(Tool(root, {"init"}), 0);
  std::string out;
  ASSERT_EQ(Tool(root,
                 {"send", "--store", "SMS", "--to", "555 0199", "--subject",
                  "Hi\x1b]0;owned\x07", "--from", "Anna <anna@example.org>",
                  "--body", "line one\nline \x1b[2Jtwo"},
                 &out),
            0);
  ASSERT_EQ(Tool(root, {"show", "1"}, &out), 0);
  EXPECT_NE(out.find("Folder: SMS\\Outbox\n"), std::string::npos) << out;
  EXPECT_NE(out.find("From: Anna <anna@example.org>\n"), std::string::npos);
  EXPECT_NE(out.find("To: 555 0199\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Subject: Hi?]0;owned?\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n\nline one\nline ?[2Jtwo\n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  for (const std::string& bad :
       {std::string("x"), std::string("0"), std::string("-1"),
        std::string("1;"), std::string("99999999999999999999")}) {
    EXPECT_EQ(Tool(root, {"rm", bad}), 2) << bad;
    EXPECT_EQ(Tool(root, {"show", bad}), 2) << bad;
  }
  EXPECT_EQ(Tool(root, {"rm"}), 2);
  EXPECT_EQ(Tool(root, {"rm", "1", "1"}), 2);
  EXPECT_EQ(Tool(root, {"rm", "2"}), 1);  // no such message
  EXPECT_EQ(Tool(root, {"ls"}, &out), 0);
  EXPECT_NE(out.find("1\tSMS\tOutbox"), std::string::npos) << "lost";
  ASSERT_EQ(Tool(root, {"rm", "1"}, &out), 0);
  EXPECT_EQ(out, "Deleted message 1 from SMS\\Outbox\n");
  EXPECT_EQ(Tool(root, {"ls"}, &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(Tool(root, {"show", "1"}), 1);
  EXPECT_EQ(Tool(root, {"rm", "1"}), 1);
  // Its id is never another message's.
  ASSERT_EQ(
      Tool(root, {"send", "--store", "SMS", "--to", "1", "--body", "x"}, &out),
      0);
  EXPECT_EQ(out, "Saved message 2 in SMS\\Outbox\n");
  std::filesystem::remove_all(root);
}

// The tool's exit status, with its stderr joined to its stdout.
int ToolWithErrors(const std::string& root, std::vector<std::string> args,
                   std::string* out) {
  std::vector<std::string> argv = {
      "/bin/sh", "-c", "\"$0\" \"$@\" 2>&1", BinPath("tarnvex-device"),
      "--root",  root};
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

  EXPECT_NE(ToolWithErrors(root, {"clock", "set", "2026-02-29T12:00"}, &out),
            0);
  EXPECT_NE(out.find("not a valid date and time"), std::string::npos) << out;
  EXPECT_NE(Tool(root, {"clock", "set"}), 0);
  EXPECT_NE(Tool(root, {"clock", "later"}), 0);
  EXPECT_EQ(device::LocalTimeText(device::Now()).substr(0, 15),
            "2026-03-01T23:5");

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
                           "\xe8\xa8\x98\xe6\x86\xb6\xe5\x8d\xa1"}) {  // 記憶卡
    EXPECT_EQ(ToolWithErrors(root, {"card", "add", name}, &out), 1);
    EXPECT_NE(out.find("card name \"" + name + "\" is refused"),
              std::string::npos)
        << out;
    EXPECT_FALSE(std::filesystem::exists(root + "/" + name));
  }
  EXPECT_EQ(ToolWithErrors(root, {"card", "add", "SD:1"}, &out), 1);
  EXPECT_NE(out.find("cannot hold"), std::string::npos) << out;
  EXPECT_EQ(Tool(root, {"card", "list"}, &out), 0);
  EXPECT_EQ(out, "");
  std::filesystem::remove_all(root);
}

TEST(ToolTest, SendChecksTheBodysSizeBeforeReadingItAll) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  ASSERT_EQ(Tool(root, {"init"}), 0);
  const std::string limit =
      "8388608";  // characters (UTF-16 units) a message holds
  std::string said;
  // A body that never ends is refused once it is past any possible limit.
  EXPECT_EQ(ToolSays(root,
                     {"send", "--store", "SMS", "--to", "1", "--body-file",
                      "/dev/zero"},
                     &said),
            1);
  EXPECT_NE(said.find("at most " + limit + " characters"), std::string::npos)
      << said;
  // So is a file whose size alone says it cannot fit.
  std::string huge = root + "/huge.txt";
  { std::ofstream(huge).put('x'); }
  ASSERT_EQ(truncate(huge.c_str(), 64ll * 1024 * 1024), 0);
  EXPECT_EQ(
      ToolSays(root,
               {"send", "--store", "SMS", "--to", "1", "--body-file", huge},
               &said),
      1);
  EXPECT_NE(said.find("at most " + limit + " characters"), std::string::npos)
      << said;
  // At the limit a body goes in; one character more does not. Multi-byte
  // text counts characters, not bytes.
  std::string body = root + "/body.txt";
  {
    std::ofstream out(body, std::ios::binary);
    out << std::string(8388608 - 1, 'a') << "\xc3\xa4";  // ... a umlaut
  }
  EXPECT_EQ(
      ToolSays(root,
               {"send", "--store", "SMS", "--to", "1", "--body-file", body},
               &said),
      0)
      << said;
  {
    std::ofstream out(body, std::ios::app | std::ios::binary);
    out << "b";
  }
  EXPECT_EQ(
      ToolSays(root,
               {"send", "--store", "SMS", "--to", "1", "--body-file", body},
               &said),
      1);
  EXPECT_NE(said.find("at most " + limit + " characters"), std::string::npos)
      << said;
  EXPECT_EQ(said.find("16 MiB"), std::string::npos) << said;
  EXPECT_EQ(
      ToolSays(root,
               {"send", "--store", "SMS", "--to", "1", "--body-file", root},
               &said),
      1);
  EXPECT_NE(said.find("is a folder"), std::string::npos) << said;
  ASSERT_EQ(Tool(root, {"ls"}, &said), 0);
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1)
      << "only the body at the limit";
  std::filesystem::remove_all(root);
}

TEST(ToolTest, StoreAddRefusesANameTheFilterWouldTakeForAnExistingStore) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  ASSERT_EQ(Tool(root, {"init", "--codepage", "1252"}), 0);
  std::string said;
  EXPECT_EQ(Tool(root, {"store", "add", "\xce\xa8mail"}), 0);  // Psi-mail
  EXPECT_EQ(Tool(root, {"store", "add", "\xc3\x89mail"}), 0);  // E acute-mail
  struct Case {
    const char* name;
    const char* existing;
    const char* why;
  } cases[] = {
      {"sms", "SMS", "differ only in letter case"},
      {"e-MAIL", "E-mail", "differ only in letter case"},
      {"\xce\xa9mail", "\xce\xa8mail",
       "both read \"?mail\" in the device's code page 1252"},
      {"\xc3\xa9mail", "\xc3\x89mail",
       "differ only in letter case"},  // e acute
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToolSays(root, {"store", "add", c.name}, &said), 1);
    EXPECT_NE(said.find(c.why), std::string::npos) << said;
    EXPECT_NE(said.find(std::string("existing store \"") + c.existing + "\""),
              std::string::npos)
        << said;
  }
  // The same name again changes nothing; another name is taken.
  EXPECT_EQ(Tool(root, {"store", "add", "SMS"}), 0);
  EXPECT_EQ(Tool(root, {"store", "add", "SMS 2"}), 0);
  ASSERT_EQ(Tool(root, {"store", "list"}, &said), 0);
  EXPECT_EQ(
      said,
      "SMS\nMMS\nE-mail\nActiveSync\n\xce\xa8mail\n\xc3\x89mail\nSMS 2\n");
  std::filesystem::remove_all(root);

  // In UTF-8 every name is kept whole: only letter case can clash.
  root = testing_support::MakeTempDir("tarnvex-tool-");
  ASSERT_EQ(Tool(root, {"init"}), 0);
  EXPECT_EQ(Tool(root, {"store", "add", "\xce\xa8mail"}), 0);
  EXPECT_EQ(Tool(root, {"store", "add", "\xce\xa9mail"}), 0);
  EXPECT_EQ(ToolSays(root, {"store", "add", "\xcf\x89mail"}, &said), 1);
  EXPECT_NE(said.find("differ only in letter case"), std::string::npos) << said;
  std::filesystem::remove_all(root);
}

// Everything below the image: folders 0700, files 0600 (what SQLite makes
// beside the service's database included), whatever mask the tool was
// started with.
void ExpectAllPrivate(const std::string& root) {
  struct stat st;
  ASSERT_EQ(stat(root.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << root;
  int files = 0;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    ASSERT_EQ(lstat(item.path().c_str(), &st), 0);
    if (S_ISDIR(st.st_mode)) {
      EXPECT_EQ(st.st_mode & 0777, 0700u) << item.path();
    } else {
      EXPECT_EQ(st.st_mode & 0777, 0600u) << item.path();
      ++files;
    }
  }
  EXPECT_GE(files,
            4);  // card list, service database, its log and shared memory
}

TEST(ToolTest, MailRelaySetShowAndNoneNeverPrintThePassword) {
  std::string root = testing_support::MakeTempDir("tarnvex-tool-");
  ASSERT_EQ(Tool(root, {"init"}), 0);
  const std::string password_file =
      root + "/../relay-password-" +
      std::filesystem::path(root).filename().string();
  std::ofstream(password_file) << "Tr0ub4dor&3\n";
  std::string said;
  // A store the device does not have would never be delivered from.
  EXPECT_EQ(ToolSays(root,
                     {"mail", "relay", "set", "smtp://relay.example.org:587",
                      "--user", "anna", "--password-file", password_file,
                      "--store", "Mail"},
                     &said),
            2);
  EXPECT_NE(said.find("no store \"Mail\""), std::string::npos) << said;
  EXPECT_EQ(ToolSays(root, {"mail", "relay", "set", "ftp://relay.example.org"},
                     &said),
            2);
  EXPECT_NE(said.find("smtp://"), std::string::npos) << said;
  EXPECT_EQ(ToolSays(root, {"mail", "relay", "show"}, &said), 0);
  EXPECT_EQ(said, "Relay: none\n");

  EXPECT_EQ(ToolSays(root,
                     {"mail", "relay", "set", "smtp://relay.example.org:587",
                      "--user", "anna", "--password-file", password_file},
                     &said),
            0)
      << said;
  EXPECT_EQ(said,
            "Relay: smtp://relay.example.org:587 (STARTTLS, certificate "
            "checked against the system's authorities, user anna) for "
            "E-mail\n");
  std::filesystem::remove(password_file);  // copied: no longer needed
  EXPECT_EQ(ToolSays(root, {"mail", "relay", "show"}, &said), 0);
  EXPECT_EQ(said.find("Tr0ub4dor"), std::string::npos) << said;
  EXPECT_NE(said.find("user anna"), std::string::npos) << said;
  EXPECT_EQ(ToolSays(root, {"mail", "show"}, &said), 0);
  EXPECT_EQ(said.find("Tr0ub4dor"), std::string::npos) << said;
  EXPECT_NE(said.find("Relay:                smtp://relay.example.org:587"),
            std::string::npos)
      << said;
  struct stat st;
  ASSERT_EQ(stat((root + "/.device/mail/relay").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_EQ(ToolSays(root, {"mail", "relay", "none"}, &said), 0);
  EXPECT_EQ(said, "Relay: none\n");
  std::filesystem::remove_all(root);
}

TEST(ToolTest, TheImageIsPrivateToItsOwner) {
  std::string parent = testing_support::MakeTempDir("tarnvex-tool-");
  // A folder that others may enter, as a home folder often is.
  chmod(parent.c_str(), 0755);
  std::string root = parent + "/image";
  mode_t old_mask = umask(0);
  EXPECT_EQ(Tool(root, {"init"}), 0);
  EXPECT_EQ(Tool(root, {"card", "add", "Storage Card"}), 0);
  EXPECT_EQ(Tool(root, {"store", "add", "Work"}), 0);
  EXPECT_EQ(
      Tool(root, {"send", "--store", "SMS", "--to", "1", "--body", "secret"}),
      0);
  umask(old_mask);
  ExpectAllPrivate(root);

  if (testing_support::CanRunAsOtherUser()) {
    std::string db = root + "/.device/messages.db";
    int opened = testing_support::RunAsOtherUser([&] {
      int fd = open(db.c_str(), O_RDONLY);
      return fd >= 0 ? 0 : errno;
    });
    EXPECT_EQ(opened, EACCES) << "another user reads the messages";
  } else {
    std::printf("the part as another user %s\n", testing_support::kNeedsRoot);
  }

  // An image made open by an older run is closed again.
  for (const std::string& dir :
       {root, root + "/.device", root + "/.device/run"}) {
    chmod(dir.c_str(), 0755);
  }
  EXPECT_EQ(Tool(root, {"store", "list"}), 0);
  struct stat st;
  for (const std::string& dir :
       {root, root + "/.device", root + "/.device/run"}) {
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << dir;
  }
  std::filesystem::remove_all(parent);
}

}  // namespace
