// The README's settings for mail clients, copied from README.md by their
// markers, as a person would paste them: msmtp, git send-email and neomutt
// each submit to the device and the mail reaches a real relay, with the
// device's Received line.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mail/smtpd/credentials.h"
#include "tests/e2e/relay_fixture.h"

namespace {

using testing_support::Arrival;
using testing_support::Eventually;
using testing_support::RelayEndToEndTest;
using testing_support::RunProgram;

// The indented block after "<!-- client-settings: NAME -->" in the README,
// its indentation removed; "" when there is none.
std::string ReadmeBlock(const std::string& name) {
  const char* source = std::getenv("TARNVEX_SOURCE_DIR");
  std::ifstream in(std::string(source != nullptr ? source : ".") +
                   "/README.md");
  std::string line, block;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line == "<!-- client-settings: " + name + " -->") {
      inside = true;
    } else if (inside) {
      if (line.rfind("    ", 0) != 0) break;
      block += line.substr(4) + "\n";
    }
  }
  return block;
}

class ClientSettingsTest : public RelayEndToEndTest {
 protected:
  bool ServesSubmission() const override { return true; }
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(RelayEndToEndTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(StartRelay());
    ASSERT_NO_FATAL_FAILURE(UseRelay());
    ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
    std::string password;
    ASSERT_TRUE(mail::ReadSubmissionPassword(&password));
    password_file_ = dir_ + "/submission-password";
    std::ofstream(password_file_) << password << "\n";
    home_ = dir_ + "/home";
    std::filesystem::create_directories(home_ + "/.config/neomutt");
  }

  // The README's block with what `mail show` would have told.
  std::string Settings(const std::string& name) {
    std::string text = ReadmeBlock(name);
    EXPECT_FALSE(text.empty()) << "no client-settings: " << name;
    const std::pair<std::string, std::string> fills[] = {
        {"PASSWORD-FILE", password_file_},
        {"PORT", std::to_string(submission_port_)},
        {"CERT", mail::CredentialFiles().certificate},
        {"YOU@EXAMPLE.ORG", "anna@example.org"}};
    for (const auto& [from, to] : fills) {
      for (size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, from.size(), to);
    }
    return text;
  }
  std::string Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
    return path;
  }
  int Shell(const std::string& command, std::string* out) {
    return RunProgram({"/bin/sh", "-c",
                       "export HOME='" + home_ + "' GIT_CONFIG_NOSYSTEM=1; " +
                           command + " 2>&1"},
                      out);
  }
  // The one message that reached the relay for bob since `before`.
  void ExpectArrived(size_t before, const std::string& subject) {
    ASSERT_TRUE(
        Eventually([&] { return Arrivals().size() == before + 1; }, 20000));
    const Arrival a = Arrivals().back();
    EXPECT_EQ(a.to, std::vector<std::string>{"bob@example.org"});
    EXPECT_EQ(a.data.rfind("Received: from ", 0), 0u) << a.data;
    EXPECT_NE(a.data.find(subject), std::string::npos) << a.data;
  }

  std::string password_file_, home_;
};

TEST_F(ClientSettingsTest, TheReadmesSettingsDeliverThroughTheRelay) {
  std::string out;
  const std::string msmtprc = Write(home_ + "/.msmtprc", Settings("msmtp"));
  EXPECT_EQ(Shell("printf 'Subject: by msmtp\\n\\nhi\\n' | msmtp "
                  "bob@example.org",
                  &out),
            0)
      << out;
  ASSERT_NO_FATAL_FAILURE(ExpectArrived(0, "by msmtp"));

  const std::string neomuttrc =
      Write(home_ + "/.config/neomutt/neomuttrc", Settings("neomutt"));
  EXPECT_EQ(Shell("echo hi | neomutt -n -F '" + neomuttrc +
                      "' -s 'by neomutt' bob@example.org",
                  &out),
            0)
      << out;
  ASSERT_NO_FATAL_FAILURE(ExpectArrived(1, "by neomutt"));

  const std::string repo = dir_ + "/repo";
  EXPECT_EQ(Shell(Settings("git-send-email") + "git init -q '" + repo +
                      "' && cd '" + repo +
                      "' && git config user.name Anna && git config "
                      "user.email anna@example.org && echo one > f && git "
                      "add f && git commit -qm 'by git send-email' && git "
                      "send-email --quiet --confirm=never --suppress-cc=all "
                      "--to=bob@example.org -1",
                  &out),
            0)
      << out;
  ASSERT_NO_FATAL_FAILURE(ExpectArrived(2, "by git send-email"));
}

}  // namespace
