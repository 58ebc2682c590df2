// The relay's settings: what `mail relay set` takes and refuses, the private
// file they are kept in (read back as written), the password that no
// description shows, and a transport's view that follows the file.
#include "mail/relay/relay_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_image.h"

namespace {

int Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777)
                                      : -1;
}

class RelaySettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = std::make_unique<testing_support::TempImage>();
    dir_ = testing_support::MakeTempDir("tarnvex-relay-settings-");
    password_file_ = Write("password", "s3cret pass\n");
    ca_file_ = Write("ca.pem", "-----BEGIN CERTIFICATE-----\n");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    image_.reset();
  }
  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
  }
  // Parses `args`; the error ("" when taken).
  std::string Refusal(const std::vector<std::string>& args) {
    return mail::ParseRelaySetArgs(args).status().message();
  }

  std::unique_ptr<testing_support::TempImage> image_;
  std::string dir_, password_file_, ca_file_;
};

TEST_F(RelaySettingsTest, KeptPrivateReadBackAsWrittenAndNoneByDefault) {
  const base::StatusOr<mail::RelaySettings> none = mail::ReadRelaySettings();
  ASSERT_TRUE(none.ok()) << none.status().message();
  EXPECT_FALSE(none->on);

  const base::StatusOr<mail::RelaySettings> s = mail::ParseRelaySetArgs(
      {"smtp://relay.example.org:587", "--user", "anna@example.org",
       "--password-file", password_file_, "--starttls", "--ca-file", ca_file_,
       "--store", "Work mail"});
  ASSERT_TRUE(s.ok()) << s.status().message();
  const base::Status written = mail::WriteRelaySettings(*s);
  ASSERT_TRUE(written.ok()) << written.message();
  EXPECT_EQ(Mode(mail::RelaySettingsPath()), 0600);
  base::StatusOr<mail::RelaySettings> got = mail::ReadRelaySettings();
  ASSERT_TRUE(got.ok()) << got.status().message();
  mail::RelaySettings read = *got;
  EXPECT_TRUE(read.on);
  EXPECT_EQ(read.url, "smtp://relay.example.org:587");
  EXPECT_EQ(read.tls, mail::RelayTls::kStartTls);
  EXPECT_EQ(read.user, "anna@example.org");
  // The password file's first line, blanks inside kept, its line end not.
  EXPECT_EQ(read.password, "s3cret pass");
  EXPECT_EQ(read.ca_file, std::filesystem::canonical(ca_file_).string());
  EXPECT_TRUE(read.verify);
  EXPECT_EQ(read.store, "Work mail");

  // "none" again: no relay.
  ASSERT_TRUE(mail::WriteRelaySettings(mail::RelaySettings{}).ok());
  got = mail::ReadRelaySettings();
  ASSERT_TRUE(got.ok()) << got.status().message();
  read = *got;
  EXPECT_FALSE(read.on);
  EXPECT_EQ(Mode(mail::RelaySettingsPath()), 0600);
}

TEST_F(RelaySettingsTest, TheTlsModeFollowsTheUrlAndTheFlagsMustAgree) {
  base::StatusOr<mail::RelaySettings> s =
      mail::ParseRelaySetArgs({"smtps://relay.example.org:465"});
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->tls, mail::RelayTls::kTls);
  s = mail::ParseRelaySetArgs({"smtp://relay.example.org"});
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->tls, mail::RelayTls::kStartTls);  // never plain by default
  s = mail::ParseRelaySetArgs({"smtp://127.0.0.1:25", "--no-tls"});
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->tls, mail::RelayTls::kNone);
  s = mail::ParseRelaySetArgs(
      {"smtps://[::1]:465", "--tls", "--insecure-skip-verify"});
  ASSERT_TRUE(s.ok());
  EXPECT_FALSE(s->verify);

  EXPECT_NE(Refusal({"smtp://relay.example.org", "--tls"}).find("smtps://"),
            std::string::npos);
  EXPECT_NE(Refusal({"smtps://relay.example.org", "--starttls"}), "");
  EXPECT_NE(Refusal({"smtp://relay.example.org", "--no-tls"})
                .find("this "
                      "machine"),
            std::string::npos);
  EXPECT_NE(Refusal({"smtp://127.0.0.1", "--starttls", "--no-tls"}), "");
  EXPECT_NE(Refusal({"smtp://r.example.org", "--ca-file", ca_file_,
                     "--insecure-skip-verify"}),
            "");
}

TEST_F(RelaySettingsTest, BadArgumentsAreRefusedWithTheirReason) {
  EXPECT_NE(Refusal({}).find("URL"), std::string::npos);
  EXPECT_NE(Refusal({"http://relay.example.org"}).find("smtp://"),
            std::string::npos);
  EXPECT_NE(Refusal({"smtp://"}).find("no host"), std::string::npos);
  EXPECT_NE(Refusal({"smtp://relay.example.org:0"}).find("port"),
            std::string::npos);
  EXPECT_NE(Refusal({"smtp://relay.example.org:99999"}).find("port"),
            std::string::npos);
  EXPECT_NE(Refusal({"smtp://relay.example.org:"}).find("port"),
            std::string::npos);
  // A password in the URL would be shown wherever the URL is.
  EXPECT_NE(Refusal({"smtp://anna:pw@relay.example.org"}).find("--user"),
            std::string::npos);
  EXPECT_NE(Refusal({"smtp://relay.example.org\r\nRCPT"}), "");
  EXPECT_NE(Refusal({"smtp://relay.example.org", "--user", "anna"})
                .find("--password-file"),
            std::string::npos);
  EXPECT_NE(
      Refusal({"smtp://relay.example.org", "--password-file", password_file_}),
      "");
  EXPECT_NE(Refusal({"smtp://relay.example.org", "--user", "anna",
                     "--password-file", dir_ + "/missing"})
                .find("missing"),
            std::string::npos);
  EXPECT_NE(Refusal({"smtp://relay.example.org", "--user", "anna",
                     "--password-file", Write("empty", "\n")})
                .find("no password"),
            std::string::npos);
  EXPECT_NE(Refusal({"smtp://relay.example.org", "--ca-file", dir_ + "/none"})
                .find("certificate file"),
            std::string::npos);
  EXPECT_NE(Refusal({"smtp://relay.example.org", "--store", ""}), "");
  EXPECT_NE(Refusal({"smtp://relay.example.org", "--bogus"}).find("--bogus"),
            std::string::npos);
  // A refused setting leaves the one there as it was.
  EXPECT_FALSE(std::filesystem::exists(mail::RelaySettingsPath()));
}

TEST_F(RelaySettingsTest, NoDescriptionShowsThePassword) {
  base::StatusOr<mail::RelaySettings> parsed =
      mail::ParseRelaySetArgs({"smtps://relay.example.org:465", "--user",
                               "anna", "--password-file", password_file_});
  ASSERT_TRUE(parsed.ok()) << parsed.status().message();
  mail::RelaySettings s = *parsed;
  const std::string text = mail::DescribeRelay(s);
  EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
  EXPECT_NE(text.find("smtps://relay.example.org:465"), std::string::npos);
  EXPECT_NE(text.find("user anna"), std::string::npos);
  EXPECT_NE(text.find("TLS"), std::string::npos);
  s.verify = false;
  EXPECT_NE(mail::DescribeRelay(s).find("NOT checked"), std::string::npos);
  EXPECT_EQ(mail::DescribeRelay(mail::RelaySettings{}), "none");
}

TEST_F(RelaySettingsTest, ADamagedFileHoldsTheMailBackInsteadOfMovingIt) {
  mail::RelaySettingsWatch watch;
  unsigned first = 0, later = 0;
  base::Status error;
  EXPECT_FALSE(watch.Current(&first, &error).on);
  EXPECT_EQ(error.message(), "");

  std::filesystem::create_directories(
      std::filesystem::path(mail::RelaySettingsPath()).parent_path());
  std::ofstream(mail::RelaySettingsPath()) << "url ftp://what\ncolour blue\n";
  const base::StatusOr<mail::RelaySettings> read = mail::ReadRelaySettings();
  EXPECT_FALSE(read.ok());
  EXPECT_NE(read.status().message().find("damaged"), std::string::npos)
      << read.status().message();
  const mail::RelaySettings held = watch.Current(&later, &error);
  EXPECT_NE(later, first);
  // On, for the default store, with nowhere to deliver: the transport
  // neither delivers nor moves that store's mail.
  EXPECT_TRUE(held.on);
  EXPECT_EQ(held.url, "");
  EXPECT_EQ(held.store, "E-mail");
  EXPECT_NE(error.message(), "");

  // Set properly: the watch follows without a restart.
  const base::StatusOr<mail::RelaySettings> s =
      mail::ParseRelaySetArgs({"smtp://relay.example.org"});
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(mail::WriteRelaySettings(*s).ok());
  unsigned now = 0;
  const mail::RelaySettings current = watch.Current(&now, &error);
  EXPECT_NE(now, later);
  EXPECT_EQ(current.url, "smtp://relay.example.org");
  EXPECT_EQ(error.message(), "");
  unsigned again = 0;
  watch.Current(&again);
  EXPECT_EQ(again, now);  // nothing changed, nothing new
}

}  // namespace
