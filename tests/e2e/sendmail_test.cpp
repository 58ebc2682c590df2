// Mail handed to `tarnvex-device sendmail` as mutt, cron and git send-email
// hand it to sendmail: stored in the E-mail store's Outbox with its envelope
// recipients (Bcc included), decoded subject and text, and the raw message
// kept less its Bcc; judged by the filter like any message. Real processes:
// the transport, the filter and the command, and git send-email itself.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/filter_fixture.h"

namespace {

using testing_support::AfterAddedFields;
using testing_support::BinPath;
using testing_support::Eventually;
using testing_support::FilterEndToEndTest;
using testing_support::RunProgram;

struct StoredRecord {
  std::string recipients, subject, message;
};

class SendmailTest : public FilterEndToEndTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FilterEndToEndTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(RegisterFilter());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    dir_ = image_->root() + "/../sendmail-" + std::to_string(getpid());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    FilterEndToEndTest::TearDown();
  }

  // Runs `tarnvex-device sendmail ARGS < message`; the exit code, and its
  // stderr in *err.
  int Sendmail(const std::vector<std::string>& args, const std::string& message,
               std::string* err = nullptr) {
    const std::string in = dir_ + "/message", errors = dir_ + "/stderr";
    std::ofstream(in, std::ios::binary | std::ios::trunc) << message;
    std::string command = "'" + BinPath("tarnvex-device") + "' --root '" +
                          image_->root() + "' sendmail";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " < '" + in + "' 2> '" + errors + "'";
    const int status = RunProgram({"/bin/sh", "-c", command});
    if (err != nullptr) {
      std::ifstream e(errors);
      *err = std::string(std::istreambuf_iterator<char>(e), {});
    }
    return status;
  }

  int64_t NewestMail() {
    std::vector<device::ServiceMessage> all =
        device::ListMessages("E-mail", "");
    return all.empty() ? 0 : all.back().id;
  }

  std::vector<StoredRecord> MailRecords() {
    std::vector<StoredRecord> out;
    FindDatabases();
    sqlite3* db = nullptr;
    if (storage::OpenCeDatabase(StoreDbPath("E-mail").c_str(), &db).ok()) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(db,
                             "SELECT Recipients, Subject, Message FROM Msg "
                             "ORDER BY Id;",
                             -1, &stmt, nullptr) == SQLITE_OK) {
        auto text = [&](int c) {
          const unsigned char* t = sqlite3_column_text(stmt, c);
          return t ? std::string(reinterpret_cast<const char*>(t)) : "";
        };
        while (sqlite3_step(stmt) == SQLITE_ROW)
          out.push_back({text(0), text(1), text(2)});
      }
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
  }

  std::string dir_;
};

constexpr char kMail[] =
    "From: Anna Example <anna@example.org>\n"
    "To: Bob <bob@example.org>\n"
    "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_Z=C3=BCrich?=\n"
    "MIME-Version: 1.0\n"
    "Content-Type: text/plain; charset=UTF-8\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Sch=C3=B6ne Gr=C3=BC=C3=9Fe\n";

TEST_F(SendmailTest, AnUncoveredMessageIsHeldAndRecordedDecoded) {
  ASSERT_EQ(
      Sendmail({"-oi", "-f", "anna@example.org", "bob@example.org"}, kMail), 0);
  const int64_t id = NewestMail();
  ASSERT_GT(id, 0);
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  ASSERT_TRUE(Eventually([&] { return MailRecords().size() == 1; }));
  const StoredRecord r = MailRecords()[0];
  EXPECT_EQ(r.recipients, "bob@example.org");
  // The records keep the device's code page (UTF-8 on a new image): the
  // decoded texts.
  EXPECT_EQ(r.subject, "Gr\u00fc\u00dfe aus Z\u00fcrich");
  EXPECT_NE(r.message.find("sch\u00f6ne gr\u00fc\u00dfe"), std::string::npos)
      << r.message;
  device::KeptMail kept;
  ASSERT_TRUE(device::GetKeptMail(id, &kept));
  // As it came, behind the device's Received line and the Date and
  // Message-ID it lacked.
  EXPECT_EQ(AfterAddedFields(kept.raw, {"Received", "Date", "Message-ID"}),
            kMail);
  EXPECT_EQ(kept.raw.rfind("Received: by localhost (tarnvex-device, from "
                           "userid " +
                               std::to_string(getuid()) + ");\n\t",
                           0),
            0u)
      << kept.raw;
  EXPECT_EQ(kept.envelope_from, "anna@example.org");
}

TEST_F(SendmailTest, HeadersGiveTheRecipientsWithTAndABccNoRuleCoversHolds) {
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const std::string mail =
      "From: anna@example.org\n"
      "To: bob@example.org\n"
      "Bcc: eve@example.net\n"
      "Subject: plain\n"
      "\n"
      "Hello\n";
  ASSERT_EQ(Sendmail({"-t", "-i"}, mail), 0);
  const int64_t held = NewestMail();
  ASSERT_TRUE(Eventually([&] { return FolderOf(held) == "Outbox\\Tarnvex"; }));
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(held, &m));
  EXPECT_EQ(m.recipients, (std::vector<std::u16string>{u"bob@example.org",
                                                       u"eve@example.net"}));
  device::KeptMail kept;
  ASSERT_TRUE(device::GetKeptMail(held, &kept));
  EXPECT_EQ(AfterAddedFields(kept.raw, {"Received", "Date", "Message-ID"}),
            "From: anna@example.org\nTo: bob@example.org\n"
            "Subject: plain\n\nHello\n");

  // Without the Bcc every recipient is covered: it goes.
  ASSERT_EQ(Sendmail({"-t"},
                     "From: anna@example.org\nTo: bob@example.org\n"
                     "Subject: covered\n\nHello\n.\nnot read\n"),
            0);
  const int64_t covered = NewestMail();
  EXPECT_TRUE(Eventually([&] { return FolderOf(covered) == "Sent Items"; }));
  ASSERT_TRUE(device::GetKeptMail(covered, &kept));
  EXPECT_EQ(kept.raw.find("not read"), std::string::npos);  // "." ended it
}

TEST_F(SendmailTest, UsageAndDataErrorsExitWithTheirCodesAndStoreNothing) {
  std::string err;
  EXPECT_EQ(Sendmail({}, kMail, &err), 64);
  EXPECT_NE(err.find("no recipients"), std::string::npos) << err;
  EXPECT_EQ(Sendmail({"-x"}, kMail, &err), 64);
  EXPECT_EQ(Sendmail({"not an address"}, kMail, &err), 65);
  EXPECT_NE(err.find("not a mail address"), std::string::npos) << err;
  EXPECT_EQ(Sendmail({"-t"}, "Subject: nobody\n\nx\n", &err), 65);
  EXPECT_EQ(Sendmail({"--store", "Nowhere", "bob@example.org"}, kMail, &err),
            65);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(NewestMail(), 0);
}

TEST_F(SendmailTest, GitSendEmailThroughSendmailIsJudged) {
  if (RunProgram({"/bin/sh", "-c", "git send-email --help >/dev/null 2>&1"}) !=
      0) {
    GTEST_SKIP() << "git send-email is not installed (git-email)";
  }
  const std::string repo = dir_ + "/repo";
  const std::string script =
      "set -e; export HOME='" + dir_ +
      "' GIT_CONFIG_NOSYSTEM=1; "
      "git init -q '" +
      repo + "'; cd '" + repo +
      "'; "
      "git config user.name 'Anna Example'; "
      "git config user.email anna@example.org; "
      "echo one > file; git add file; git commit -qm 'Add the file'; "
      "git format-patch -q -1 -o '" +
      dir_ +
      "/patches'; "
      "git send-email --quiet --confirm=never --suppress-cc=all "
      "--no-validate --to=maintainer@example.net "
      "--sendmail-cmd=\"'" +
      BinPath("tarnvex-device") + "' --root '" + image_->root() +
      "' sendmail\" '" + dir_ + "/patches'";
  ASSERT_EQ(RunProgram({"/bin/sh", "-c", script}), 0);
  const int64_t id = NewestMail();
  ASSERT_GT(id, 0);
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  ASSERT_TRUE(Eventually([&] { return MailRecords().size() == 1; }));
  EXPECT_EQ(MailRecords()[0].recipients, "maintainer@example.net");
  EXPECT_EQ(MailRecords()[0].subject, "[PATCH] Add the file");
}

}  // namespace
