// The gateway's end of message without a Postfix: the one judgement of the
// envelope, the record of a held message as the device records one, fail
// closed on every fault, bad input within the fields' limits, and the
// release worker's bookkeeping against a stand-in for Postfix's commands.
#include "gateway/judgement.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "filter/classify.h"
#include "filter/rule_table.h"
#include "gateway/commands.h"
#include "gateway/limits.h"
#include "gateway/release_worker.h"
#include "hold/message_reader.h"
#include "storage/calendar.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "tests/support/temp_image.h"

namespace gateway {
namespace {

class JudgementTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::MakeTempDir("tarnvex-judge-");
    CloseRulesDb();
    ResetMessageDb();
    ResetRuleTable();
    storage::ResetLocations();
    ASSERT_TRUE(OpenDataFolder(dir_, &held_).ok());
    ASSERT_TRUE(LoadRules());
  }
  void TearDown() override {
    held_.Close();
    CloseRulesDb();
    ResetMessageDb();
    ResetRuleTable();
    storage::ResetLocations();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  void Rule(const char* recipients) {
    ASSERT_TRUE(AddRule("", recipients, "", 0.0f).ok());
    ASSERT_TRUE(LoadRules());
  }
  static Envelope Mail(std::vector<std::string> recipients) {
    Envelope e;
    e.host = "mx1.example";
    e.queue_id = "4QUEUE1";
    e.sender = "anna@example.org";
    for (const std::string& r : recipients) e.AddRecipient("<" + r + ">");
    return e;
  }
  Decision End(const Envelope& e,
               const std::string& raw = "Subject: s\r\n\r\nb\r\n") {
    return judge_.EndOfMessage(e, raw, 1'000);
  }
  // A column of the Msg rows, in Id order.
  std::vector<std::string> Column(const char* column) {
    std::vector<std::string> out;
    sqlite3* db = nullptr;
    sqlite3_open((dir_ + "/Gateway.db").c_str(), &db);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(
        db, (std::string("SELECT ") + column + " FROM Msg ORDER BY Id").c_str(),
        -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(stmt, 0);
      out.push_back(t != nullptr ? reinterpret_cast<const char*>(t) : "");
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
  }
  std::vector<HeldEntry> HeldRows() {
    std::vector<HeldEntry> rows;
    EXPECT_TRUE(held_.List({}, std::nullopt, &rows).ok());
    return rows;
  }

  std::string dir_;
  HeldTable held_;
  int moved_ = 0;
  Judge judge_{&held_, [this] { ++moved_; }};
};

TEST_F(JudgementTest, CoveredContinuesAndRecordsNothing) {
  Rule("bob@partner.example, carol@partner.example");
  EXPECT_EQ(End(Mail({"BOB@partner.example", "carol@partner.example"})).verdict,
            Verdict::kContinue);
  EXPECT_TRUE(Column("Id").empty());
  EXPECT_TRUE(HeldRows().empty());
}

TEST_F(JudgementTest, OneUncoveredRecipientHoldsTheMessageAndIsNamed) {
  Rule("bob@partner.example");
  const Decision d = End(Mail({"bob@partner.example", "hidden@leak.example"}));
  EXPECT_EQ(d.verdict, Verdict::kQuarantine);
  EXPECT_EQ(d.text, "Tarnvex: no rule covers hidden@leak.example");
  // No rule covers them together: both are named.
  Rule("hidden@leak.example");
  ResetMessageDb();
  Envelope both = Mail({"bob@partner.example", "hidden@leak.example"});
  both.queue_id = "4QUEUE2";
  EXPECT_EQ(End(both).text,
            "Tarnvex: no rule covers bob@partner.example, hidden@leak.example");
}

TEST_F(JudgementTest, HeldMessageIsRecordedAsTheDeviceRecordsOne) {
  const std::string raw =
      "From: =?UTF-8?Q?Anna_M=C3=BCller?= <anna@example.org>\r\n"
      "To: bob@elsewhere.example\r\n"
      "Subject: =?UTF-8?B?UGzDpG5lIGbDvHIgbW9yZ2Vu?=\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
      "Die Pl=C3=A4ne It's SECRET\r\n";
  const Decision d = End(Mail({"bob@elsewhere.example"}), raw);
  ASSERT_EQ(d.verdict, Verdict::kQuarantine);
  EXPECT_EQ(Column("Subject"), (std::vector<std::string>{"Pläne für morgen"}));
  // GMime's text (its lines end in LF), blanked as stored.
  const std::string body = "Die Pläne It s SECRET\n";
  EXPECT_EQ(Column("OrgMessage")[0], body);
  EXPECT_EQ(Column("Message")[0], LowerAscii(body));
  EXPECT_EQ(Column("Sender")[0], "Anna Müller <anna@example.org>");
  EXPECT_EQ(Column("Recipients")[0], "bob@elsewhere.example");
  EXPECT_EQ(Column("Status")[0], "0");
  EXPECT_EQ(Column("Tokens")[0],
            MessageTokenText("Pläne für morgen",
                             LowerAscii("Die Pläne It's SECRET\n")));
  EXPECT_EQ(Column("Hash")[0],
            records::DigestOf("Die Pläne It's SECRET\n",
                              "Anna Müller <anna@example.org>",
                              "bob@elsewhere.example", "Pläne für morgen"));
  const std::vector<HeldEntry> rows = HeldRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].host, "mx1.example");
  EXPECT_EQ(rows[0].queue_id, "4QUEUE1");
  EXPECT_EQ(rows[0].sender, "anna@example.org");
  EXPECT_EQ(rows[0].subject, "Pläne für morgen");
  EXPECT_EQ(rows[0].status, kHeld);
  // The same message again (a client's retry): a held row of its own, one
  // record.
  Envelope again = Mail({"bob@elsewhere.example"});
  again.queue_id = "4QUEUE3";
  EXPECT_EQ(End(again, raw).verdict, Verdict::kQuarantine);
  EXPECT_EQ(Column("Id").size(), 1u);
  EXPECT_EQ(HeldRows().size(), 2u);
}

// A second hold under the queue id of one still held (a short id given
// again, or a client naming a held message's id) keeps the first one's
// recipients with its own: a rule for the newcomer's alone releases nothing.
TEST_F(JudgementTest, AQueueIdHeldAgainKeepsTheRecipientsHeldUnderIt) {
  ASSERT_EQ(End(Mail({"stranger@elsewhere.example"})).verdict,
            Verdict::kQuarantine);
  ASSERT_EQ(End(Mail({"friend@partner.example"})).verdict,
            Verdict::kQuarantine);
  std::vector<HeldEntry> rows = HeldRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].recipients,
            (std::vector<std::string>{"friend@partner.example",
                                      "stranger@elsewhere.example"}));
  // Once that message is out of the hold, its id starts afresh.
  rows[0].status = kReleased;
  ASSERT_TRUE(held_.Update(rows[0]).ok());
  ASSERT_EQ(End(Mail({"third@partner.example"})).verdict, Verdict::kQuarantine);
  rows = HeldRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].recipients,
            (std::vector<std::string>{"third@partner.example"}));
}

TEST_F(JudgementTest, HeldListingByDayAndStatus) {
  Envelope mail = Mail({"x@day.example"});
  ASSERT_EQ(End(mail).verdict, Verdict::kQuarantine);
  std::string narrow;
  const std::u16string today = DayText(0, &narrow);
  std::vector<HeldEntry> rows;
  ASSERT_TRUE(held_.List(DayKeys(today, narrow), kHeld, &rows).ok());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].queue_id, "4QUEUE1");
  ASSERT_TRUE(held_.List(DayKeys(today, narrow), kReleased, &rows).ok());
  EXPECT_TRUE(rows.empty());
  const std::u16string yesterday = DayText(1, &narrow);
  ASSERT_TRUE(held_.List(DayKeys(yesterday, narrow), std::nullopt, &rows).ok());
  EXPECT_TRUE(rows.empty());
}

TEST_F(JudgementTest, FailsClosed) {
  // No queue id: nothing could release it.
  Envelope no_id = Mail({"x@nowhere.example"});
  no_id.queue_id.clear();
  EXPECT_EQ(End(no_id).verdict, Verdict::kTempFail);
  // Nor with one that is no Postfix queue id: whoever reaches the milter's
  // socket names it, and the release hands it to postsuper's standard input
  // ("ALL" there releases every held message), to postqueue's arguments and
  // through a --remote prefix to a shell.
  for (const char* hostile : {"ALL", "4QUEUE1\nALL", "-f", "4Q;reboot",
                              "4Q$(id)", "4Q 4R", "4Q\xc3\xa9"}) {
    Envelope bad = Mail({"x@nowhere.example"});
    bad.queue_id = hostile;
    const Decision refused = End(bad);
    EXPECT_EQ(refused.verdict, Verdict::kTempFail) << hostile;
    EXPECT_EQ(refused.text,
              "Tarnvex has no usable queue id for the message (Postfix "
              "macro i)");
  }
  EXPECT_TRUE(HeldRows().empty());
  EXPECT_TRUE(Column("Id").empty());
  // A recipient that could not be read whole is never covered.
  Rule("x@nowhere.example");
  Envelope cut = Mail({"x@nowhere.example"});
  cut.AddRecipient("<" + std::string(kMaxAddressBytes + 1, 'a') + ">");
  EXPECT_EQ(End(cut).verdict, Verdict::kQuarantine);
  // Records that cannot be written.
  ResetMessageDb();
  held_.Close();
  std::filesystem::rename(dir_ + "/Gateway.db", dir_ + "/aside.db");
  std::filesystem::create_directory(dir_ + "/Gateway.db");
  Envelope unrecorded = Mail({"y@nowhere.example"});
  unrecorded.queue_id = "4QUEUE9";
  Decision d = End(unrecorded);
  EXPECT_EQ(d.verdict, Verdict::kTempFail);
  EXPECT_EQ(d.text, "Tarnvex cannot record the message now; try again later");
  // Rules that cannot be read: even a covered message waits.
  CloseRulesDb();
  std::filesystem::rename(dir_ + "/Rules_0.db", dir_ + "/rules-aside.db");
  std::filesystem::create_directory(dir_ + "/Rules_0.db");
  EXPECT_FALSE(LoadRules());
  d = End(Mail({"x@nowhere.example"}));
  EXPECT_EQ(d.verdict, Verdict::kTempFail);
  EXPECT_EQ(d.text, "Tarnvex cannot read its rules now; try again later");
  EXPECT_EQ(judge_.Counts().failed, 10u);
}

TEST_F(JudgementTest, BadInputIsRecordedWithinTheFieldsLimits) {
  std::vector<std::string> many;
  for (int i = 0; i < 10000; ++i)
    many.push_back("r" + std::to_string(i) + "@many.example");
  // As the milter hands it over: an 8 MiB subject, broken MIME.
  MessageBytes bytes;
  bytes.AddHeader("Subject", std::string(8 << 20, 'S'));
  bytes.AddHeader("Content-Type", "multipart/mixed; boundary=x");
  bytes.AddBody("--y\r\nnot a part\r\n");
  const Decision d =
      judge_.EndOfMessage(Mail(many), std::string(bytes.bytes()), 1'000);
  ASSERT_EQ(d.verdict, Verdict::kQuarantine);
  EXPECT_LE(d.text.size(), kMaxReasonBytes + 20);
  EXPECT_NE(d.text.find(" more"), std::string::npos);
  EXPECT_EQ(Column("Subject")[0], std::string(kSubjectField - 1, 'S'));
  EXPECT_EQ(Column("Recipients")[0].size(), kRecipientsField - 1);
  ASSERT_EQ(HeldRows().size(), 1u);
  EXPECT_EQ(HeldRows()[0].recipients.size(), 10000u);
  // A message that is no mail at all: recorded by its envelope.
  Envelope junk = Mail({"j@junk.example"});
  junk.queue_id = "4JUNK";
  EXPECT_EQ(End(junk, std::string("\0\xff\r\n\r\n\x01", 7)).verdict,
            Verdict::kQuarantine);
  // Controls in an address never reach the reason's line.
  Envelope controls = Mail({"a\r\nb@x"});
  controls.queue_id = "4CTL";
  EXPECT_EQ(End(controls).text, "Tarnvex: no rule covers a??b@x");
}

TEST(GatewayLimitsTest, FieldsAreTheDevicesOwn) {
  EXPECT_EQ(kSenderField, ::kSenderField);
  EXPECT_EQ(kRecipientsField, ::kRecipientsField);
  EXPECT_EQ(kSubjectField, ::kSubjectField);
}

TEST(MessageBytesTest, PutsTheMessageBackTogether) {
  MessageBytes bytes;
  bytes.AddHeader("Subject", "hello");
  bytes.AddHeader("To", "a@b");
  bytes.EndOfHeaders();
  bytes.AddBody("line 1\r\n");
  bytes.AddBody("line 2\r\n");
  EXPECT_EQ(bytes.bytes(),
            "Subject: hello\r\nTo: a@b\r\n\r\nline 1\r\nline 2\r\n");
  EXPECT_FALSE(bytes.cut());
  bytes.Clear();
  bytes.AddBody(std::string(kMaxMessageBytes + 10, 'x'));
  EXPECT_TRUE(bytes.cut());
  EXPECT_EQ(bytes.bytes().size(), kMaxMessageBytes);
  // A header field is kept to Postfix's own header limit.
  MessageBytes huge;
  huge.AddHeader("Subject", std::string(kMaxHeaderFieldBytes * 3, 'S'));
  EXPECT_EQ(huge.bytes().size(),
            std::strlen("Subject: \r\n") + kMaxHeaderFieldBytes);
  EXPECT_EQ(Envelope::Bare(" <a@b> "), "a@b");
  EXPECT_EQ(Envelope::Bare("<>"), "");
}

// The release worker against a stand-in for Postfix's commands (a script
// run as the --remote prefix): a release that fails is tried again after a
// pause and said, then made once, and never again.
class ReleaseWorkerTest : public JudgementTest {
 protected:
  void SetUp() override {
    JudgementTest::SetUp();
    script_ = dir_ + "/fake-postfix";
    std::ofstream(script_) <<
        R"(#!/bin/sh
# $1: postqueue or postsuper; the queue is one "ID QUEUE" a line.
Q=")" << dir_ << R"(/queue"
echo "$*" >> "$Q.calls"
case "$1 $2" in
  "postqueue -j")
    while read id q; do
      printf '{"queue_name": "%s", "queue_id": "%s"}\n' "$q" "$id"
    done < "$Q" ;;
  "postsuper -H")
    [ -e "$Q.fail" ] && { echo "postsuper: fatal: no" >&2; exit 1; }
    while read id; do sed -i "s/^$id hold$/$id deferred/" "$Q"; done ;;
  "postqueue -i") ;;
esac
)";
    chmod(script_.c_str(), 0755);
  }
  void Queue(const std::string& lines) {
    std::ofstream(dir_ + "/queue") << lines;
  }
  std::string Calls() {
    std::ifstream in(dir_ + "/queue.calls");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string script_;
};

TEST_F(ReleaseWorkerTest, FailedReleaseIsRetriedThenMadeOnce) {
  Envelope mail = Mail({"later@partner.example"});
  mail.host = "mx9.example";
  mail.queue_id = "9HELD";
  ASSERT_EQ(
      judge_
          .EndOfMessage(mail, "Subject: s\r\n\r\nb\r\n",
                        std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count())
          .verdict,
      Verdict::kQuarantine);
  Queue("9HELD hold\n");
  PostfixHost fake;
  fake.name = "mx9.example";
  fake.prefix = {script_};
  ReleaseWorker worker(dir_, &held_, PostfixHost{}, {fake});
  // Not covered: nothing is run.
  EXPECT_EQ(worker.PassForTesting(), 0);
  EXPECT_EQ(Calls(), "");

  Rule("later@partner.example");
  std::ofstream(dir_ + "/queue.fail") << "";
  auto now_ms = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const int64_t before = now_ms();
  testing::internal::CaptureStderr();
  worker.PassForTesting();
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("the release of 9HELD on mx9.example failed: "),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("trying again in 0.2 s"), std::string::npos) << said;
  std::vector<HeldEntry> rows = HeldRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].status, kHeld);
  EXPECT_EQ(rows[0].tries, 1);
  EXPECT_GE(rows[0].next_try_ms, before + kFirstRetryMs);
  // Before its pause is over it is not tried again (when this machine is
  // quick enough to ask before then).
  const std::string tried_once = Calls();
  if (now_ms() + 50 < rows[0].next_try_ms) {
    EXPECT_EQ(worker.PassForTesting(), rows[0].next_try_ms);
    EXPECT_EQ(Calls(), tried_once);
  }
  std::filesystem::remove(dir_ + "/queue.fail");
  while (now_ms() <= HeldRows()[0].next_try_ms)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(worker.PassForTesting(), 0);
  rows = HeldRows();
  EXPECT_EQ(rows[0].status, kReleased);
  EXPECT_EQ(Column("Status")[0], "1");
  const std::string calls = Calls();
  EXPECT_NE(calls.find("postqueue -i 9HELD"), std::string::npos) << calls;
  // Released once: later passes run nothing.
  worker.PassForTesting();
  EXPECT_EQ(Calls(), calls);
}

TEST_F(ReleaseWorkerTest, AlreadyOutIsReleasedAndGoneIsSaid) {
  const int64_t long_ago = 1'000;
  Envelope out = Mail({"a@partner.example"});
  out.host = "mx9.example";
  out.queue_id = "9OUT";
  ASSERT_EQ(judge_.EndOfMessage(out, "", long_ago).verdict,
            Verdict::kQuarantine);
  Envelope gone = Mail({"a@partner.example"});
  gone.host = "mx9.example";
  gone.queue_id = "9GONE";
  ASSERT_EQ(judge_.EndOfMessage(gone, "x", long_ago).verdict,
            Verdict::kQuarantine);
  Envelope elsewhere = Mail({"a@partner.example"});
  elsewhere.host = "unknown.example";
  elsewhere.queue_id = "9ELSE";
  ASSERT_EQ(judge_.EndOfMessage(elsewhere, "y", long_ago).verdict,
            Verdict::kQuarantine);
  Queue("9OUT deferred\n");
  Rule("a@partner.example");
  PostfixHost fake;
  fake.name = "mx9.example";
  fake.prefix = {script_};
  PostfixHost local;
  local.name = "mx1.example";
  ReleaseWorker worker(dir_, &held_, local, {fake});
  testing::internal::CaptureStderr();
  worker.PassForTesting();
  worker.PassForTesting();
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("released already: 9OUT on mx9.example"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("9GONE is covered now but in no queue of mx9.example"),
            std::string::npos);
  // Said once, however many passes.
  const std::string unknown = "held on unknown.example are covered now";
  ASSERT_NE(said.find(unknown), std::string::npos);
  EXPECT_EQ(said.find(unknown, said.find(unknown) + 1), std::string::npos);
  std::map<std::string, int32_t> status;
  for (const HeldEntry& row : HeldRows()) status[row.queue_id] = row.status;
  EXPECT_EQ(status["9OUT"], kReleased);
  EXPECT_EQ(status["9GONE"], kGone);
  EXPECT_EQ(status["9ELSE"], kHeld);
  EXPECT_EQ(Calls().find("postsuper"), std::string::npos);
}

}  // namespace
}  // namespace gateway
