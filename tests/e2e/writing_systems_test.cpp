// Mail in Japanese, Arabic, Hebrew, with emoji and in German, submitted with
// Python's smtplib to the device's submission server (tarnvex-device run)
// and judged by the filter: each is held and recorded as it was written, in
// the UTF-8 of a new device, and a rule with Japanese or Arabic message words
// is stored with those words and releases what its recipients cover.
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "device/codepage.h"
#include "mail/smtpd/credentials.h"
#include "tests/e2e/filter_fixture.h"
#include "text/ascii.h"
#include "text/tokens.h"

namespace {

using testing_support::Eventually;
using testing_support::FilterEndToEndTest;
using testing_support::RunProgram;

struct Mail {
  std::string to, subject, text;
  const char* charset;   // of the body as sent
  const char* encoding;  // its transfer encoding
};

// Subjects go as RFC 2047 encoded words (smtplib's choice), bodies as named.
const Mail kMails[] = {
    {"taro@example.jp", "来週の会議について",
     "東京で来週の会議があります。よろしくお願いします。", "utf-8", "8bit"},
    {"omar@example.eg", "مرحبا بالعالم", "اجتماع الأسبوع القادم في القاهرة",
     "utf-8", "base64"},
    {"dana@example.il", "שלום עולם", "פגישה ביום שישי בבוקר", "utf-8",
     "quoted-printable"},
    {"pat@example.org", "Release party 🎉 on Friday", "Bring 🍕 and 🎂!", "utf-8",
     "8bit"},
    {"jurgen@example.de", "Grüße aus Zürich", "Schöne Grüße, Jürgen",
     "iso-8859-1", "quoted-printable"},
    // Longer than the record's subject field: cut before the character that
    // does not fit.
    {"hana@example.jp",
     "長い件名のテスト：この件名は記録の欄よりも長いので文字の境目で切られます",
     "本文", "utf-8", "8bit"},
};

struct Recorded {
  std::string subject, body, message, tokens;
  int status = -1;
};

class WritingSystemsTest : public FilterEndToEndTest {
 protected:
  bool ServesSubmission() const override { return true; }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FilterEndToEndTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(RegisterFilter());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    dir_ = testing_support::MakeTempDir("tarnvex-scripts-");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    FilterEndToEndTest::TearDown();
  }

  void SendAll() {
    std::string password;
    ASSERT_TRUE(mail::ReadSubmissionPassword(&password));
    std::string mails = "[";
    for (const Mail& m : kMails) {
      mails += "(" + Py(m.to) + "," + Py(m.subject) + "," + Py(m.text) + "," +
               Py(m.charset) + "," + Py(m.encoding) + "),";
    }
    mails += "]";
    const std::string script = dir_ + "/send.py";
    std::ofstream(script)
        << "import smtplib, ssl, sys\n"
           "from email.message import EmailMessage\n"
           "ctx = ssl.create_default_context(cafile=sys.argv[3])\n"
           "ctx.check_hostname = False\n"
           "with smtplib.SMTP('127.0.0.1', int(sys.argv[1])) as s:\n"
           "    s.starttls(context=ctx)\n"
           "    s.login('tarnvex', sys.argv[2])\n"
           "    for to, subject, text, charset, cte in "
        << mails
        << ":\n"
           "        m = EmailMessage()\n"
           "        m['From'] = 'anna@example.org'\n"
           "        m['To'] = to\n"
           "        m['Subject'] = subject\n"
           "        m.set_content(text, charset=charset, cte=cte)\n"
           "        s.send_message(m)\n";
    std::string out;
    ASSERT_EQ(RunProgram(
                  {"/usr/bin/python3", script, std::to_string(submission_port_),
                   password, mail::CredentialFiles().certificate},
                  &out),
              0)
        << out;
  }

  // A Python string literal of UTF-8 text.
  static std::string Py(const std::string& text) {
    std::string out = "'";
    for (unsigned char c : text) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
    return out + "'.encode('latin-1').decode('utf-8')";
  }

  // The E-mail store's records by recipients.
  std::map<std::string, Recorded> Records() {
    std::map<std::string, Recorded> out;
    FindDatabases();
    sqlite3* db = nullptr;
    if (storage::OpenCeDatabase(StoreDbPath("E-mail").c_str(), &db).ok()) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(db,
                             "SELECT Recipients, Subject, OrgMessage, Message, "
                             "Tokens, Status FROM Msg;",
                             -1, &stmt, nullptr) == SQLITE_OK) {
        auto text = [&](int c) {
          const unsigned char* t = sqlite3_column_text(stmt, c);
          return t ? std::string(reinterpret_cast<const char*>(t)) : "";
        };
        while (sqlite3_step(stmt) == SQLITE_ROW) {
          out[text(0)] = {text(1), text(2), text(3), text(4),
                          sqlite3_column_int(stmt, 5)};
        }
      }
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
  }

  // The Tokens column of the rules file's rule for `recipients`.
  std::string RuleTokens(const std::string& recipients) {
    std::string tokens;
    EXPECT_TRUE(storage::ListRules([&](const storage::RuleRow& row) {
                  if (row.recipients == recipients)
                    tokens = std::string(row.tokens);
                  return true;
                }).ok());
    return tokens;
  }

  static bool Contains(const std::string& tokens, const std::string& word) {
    return (" " + tokens).find(" " + word + " ") != std::string::npos;
  }

  std::string dir_;
};

TEST_F(WritingSystemsTest,
       EachIsHeldAndRecordedAsWrittenAndRulesMatchItsWords) {
  ASSERT_EQ(device::AnsiCodePage(), device::kCodePageUtf8);
  ASSERT_NO_FATAL_FAILURE(SendAll());
  ASSERT_TRUE(
      Eventually([&] { return Records().size() == std::size(kMails); }, 20000));
  std::map<std::string, Recorded> records = Records();
  for (const Mail& m : kMails) {
    SCOPED_TRACE(m.to);
    const Recorded& r = records[m.to];
    EXPECT_EQ(r.status, 0);
    // The subject whole, or cut at a character boundary to fit its field.
    if (m.subject.size() < 128) {
      EXPECT_EQ(r.subject, m.subject);
    } else {
      EXPECT_EQ(r.subject, m.subject.substr(0, 126));  // 42 of 3 bytes each
    }
    // The text as written (and the line end the message gave it); the
    // searched copy folds A-Z only.
    EXPECT_EQ(r.body.substr(0, r.body.find_last_not_of("\r\n") + 1), m.text);
    EXPECT_EQ(r.message.substr(0, r.message.find_last_not_of("\r\n") + 1),
              LowerAscii(m.text));
    EXPECT_TRUE(device::ValidUtf8(r.tokens)) << r.tokens;
  }
  // The words of every script, not '?'s: Japanese split into its words,
  // Arabic and Hebrew whole, emoji none, German lowered and stemmed.
  EXPECT_TRUE(Contains(records["taro@example.jp"].tokens, "東京"));
  EXPECT_TRUE(Contains(records["taro@example.jp"].tokens, "会議"));
  EXPECT_TRUE(Contains(records["omar@example.eg"].tokens, "القاهرة"));
  EXPECT_TRUE(Contains(records["dana@example.il"].tokens, "שלום"));
  EXPECT_EQ(records["pat@example.org"].tokens,
            TokenTextOf("Release party on Friday Bring and"));
  EXPECT_TRUE(Contains(records["jurgen@example.de"].tokens, "zürich"));

  // Rules with Japanese and Arabic message words: stored with those words,
  // and each releases the message its recipients cover, once.
  ASSERT_TRUE(AddRule("", "taro@example.jp", "東京 会議", 90.0).ok());
  ASSERT_TRUE(AddRule("", "omar@example.eg", "القاهرة", 90.0).ok());
  CloseRulesDb();
  HostCommand("rules-changed", "ok");
  EXPECT_EQ(RuleTokens("taro@example.jp"), "会議 東京 ");
  EXPECT_EQ(RuleTokens("omar@example.eg"), "القاهرة ");
  EXPECT_TRUE(Eventually([&] {
    records = Records();
    return records["taro@example.jp"].status == 1 &&
           records["omar@example.eg"].status == 1;
  }));
  for (const char* rule : {"taro@example.jp", "omar@example.eg"}) {
    TokenList words;
    ASSERT_TRUE(ParseTokenText(RuleTokens(rule), &words));
    for (const std::string& w : words)
      EXPECT_TRUE(Contains(records[rule].tokens, w)) << w;
  }
  EXPECT_EQ(records["dana@example.il"].status, 0);
}

}  // namespace
