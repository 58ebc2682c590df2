// The gateway in front of a real Postfix: a private instance (its own
// config and queue, loopback ports), swaks as the client, an aiosmtpd sink
// behind it, tarnvex-milter as Postfix's milter over TCP. One Postfix and
// one sink for the whole program (CTest runs it as one test, not a process
// a case); each case uses recipients and rules of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/gateway/postfix_fixture.h"

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

// Runs a program; its exit status, with stdout and stderr in *output.
int RunMerged(const std::vector<std::string>& argv, std::string* output) {
  ChildProcess child;
  if (!child.Start(argv, {}, true)) return -1;
  std::string line, all;
  while (child.ReadLine(&line, 120000)) all += line + "\n";
  int status = 0;
  if (!child.Wait(120000, &status)) return -1;
  if (output != nullptr) *output = all;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return done();
}

// The queue id of a message swaks saw queued ("queued as ID").
std::string QueuedAs(const std::string& transcript) {
  std::smatch m;
  if (std::regex_search(transcript, m, std::regex("queued as ([0-9A-Za-z]+)")))
    return m[1];
  return "";
}

class GatewayPostfixTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_ = new std::string(PostfixMissing());
    if (!skip_->empty()) return;
    base_ = new std::string(MakeTempDir("tarnvex-gateway-"));
    // Searchable by Postfix's daemons (the postfix user); the gateway's own
    // folder stays private.
    chmod(base_->c_str(), 0755);
    data_ = new std::string(*base_ + "/gateway");
    std::filesystem::create_directories(*data_);
    chmod(data_->c_str(), 0700);
    sink_ = new Sink;
    failure_ = new std::string;
    if (!sink_->Start(*base_ + "/sink")) {
      *failure_ = "the sink did not start";
      return;
    }
    milter_port_ = FreePort();
    postfix_ = new PrivatePostfix;
    const std::vector<std::string> settings = ReadmeSettings();
    if (settings.empty()) {
      *failure_ = "no gateway-settings block in README.md";
      return;
    }
    if (!postfix_->Start(*base_ + "/postfix", "mx1.tarnvex.test", sink_->port(),
                         "", settings)) {
      *failure_ = "the private Postfix did not start: " + postfix_->why();
      return;
    }
    milter_ = new ChildProcess;
    StartMilter();
  }
  static void TearDownTestSuite() {
    if (milter_ != nullptr) {
      StopMilter();
      delete milter_;
    }
    delete postfix_;
    delete sink_;
    if (base_ != nullptr) {
      std::error_code ec;
      std::filesystem::remove_all(*base_, ec);
    }
    delete base_;
    delete data_;
    delete skip_;
    delete failure_;
  }

  // The README's Postfix settings for the gateway, as written there, with
  // the test's milter address in place of the README's.
  static std::vector<std::string> ReadmeSettings() {
    std::ifstream in(SourceDir() + "/README.md");
    std::string line;
    std::vector<std::string> out;
    bool in_block = false;
    while (std::getline(in, line)) {
      if (line == "<!-- gateway-settings: main.cf -->") {
        in_block = true;
        continue;
      }
      if (!in_block) continue;
      if (line.rfind("    ", 0) != 0) {
        if (!out.empty()) break;
        continue;
      }
      line = line.substr(4);
      const size_t at = line.find("inet:127.0.0.1:8891");
      if (at != std::string::npos)
        line.replace(at, 19, "inet:127.0.0.1:" + std::to_string(milter_port_));
      out.push_back(line);
    }
    return out;
  }

  void SetUp() override {
    if (!skip_->empty()) GTEST_SKIP() << *skip_;
    ASSERT_TRUE(failure_->empty()) << *failure_;
  }

  // The milter, its output appended to milter.log (read by the cases, so
  // no pipe fills while nobody reads it).
  static void StartMilter() {
    const size_t before = MilterLog().size();
    ASSERT_TRUE(milter_->Start(
        {"/bin/sh", "-c",
         "exec '" + BinPath("tarnvex-milter") + "' --listen inet:" +
             std::to_string(milter_port_) + "@127.0.0.1 --data '" + *data_ +
             "' --postfix-config '" + postfix_->config() +
             "' --remote 'mx2.tarnvex.test=env MAIL_CONFIG=" + *base_ +
             "/postfix2/etc' >> '" + *base_ + "/milter.log' 2>&1"}));
    ASSERT_TRUE(WaitFor(
        [&] {
          return MilterLog().find("listening on", before) != std::string::npos;
        },
        10000))
        << MilterLog();
  }
  static std::string MilterLog() {
    std::ifstream in(*base_ + "/milter.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void StopMilter(int signal = SIGTERM) {
    if (!milter_->running()) return;
    milter_->Kill(signal);
    if (!milter_->Wait(10000)) {
      milter_->Kill(SIGKILL);
      milter_->Wait(5000);
    }
  }

  // swaks to the private Postfix; its exit status and transcript.
  static int Send(const std::vector<std::string>& options,
                  std::string* transcript = nullptr) {
    std::vector<std::string> argv = {
        "/usr/bin/swaks",
        "--server",
        "127.0.0.1:" + std::to_string(postfix_->port()),
        "--from",
        "anna@tarnvex.test",
        "--timeout",
        "30"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::string out;
    const int status = RunProgram(argv, &out);
    if (transcript != nullptr) *transcript = out;
    return status;
  }

  static int Milter(const std::vector<std::string>& args,
                    std::string* output = nullptr) {
    std::vector<std::string> argv = {BinPath("tarnvex-milter")};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--data");
    argv.push_back(*data_);
    return RunMerged(argv, output);
  }
  static void AddRule(const std::string& recipients) {
    std::string out;
    ASSERT_EQ(Milter({"rules", "add", "--recipients", recipients}, &out), 0)
        << out;
  }

  static bool InQueue(const std::string& queue_name, const std::string& id) {
    const std::string json = postfix_->QueueJson();
    return json.find("\"queue_name\": \"" + queue_name +
                     "\", \"queue_id\": \"" + id + "\"") != std::string::npos;
  }
  static std::string Held() {
    std::string out;
    Milter({"held"}, &out);
    return out;
  }
  // The held listing's line of a queue id.
  static std::string HeldLine(const std::string& id) {
    std::istringstream lines(Held());
    std::string line;
    while (std::getline(lines, line))
      if (line.find(":" + id + "\t") != std::string::npos) return line;
    return "";
  }

  static std::string* skip_;
  static std::string* failure_;
  static std::string* base_;
  static std::string* data_;
  static Sink* sink_;
  static PrivatePostfix* postfix_;
  static ChildProcess* milter_;
  static int milter_port_;
};

std::string* GatewayPostfixTest::skip_ = nullptr;
std::string* GatewayPostfixTest::failure_ = nullptr;
std::string* GatewayPostfixTest::base_ = nullptr;
std::string* GatewayPostfixTest::data_ = nullptr;
Sink* GatewayPostfixTest::sink_ = nullptr;
PrivatePostfix* GatewayPostfixTest::postfix_ = nullptr;
ChildProcess* GatewayPostfixTest::milter_ = nullptr;
int GatewayPostfixTest::milter_port_ = 0;

TEST_F(GatewayPostfixTest, CoveredMessageArrivesOnce) {
  AddRule("covered@partner.example");
  std::string transcript;
  ASSERT_EQ(
      Send({"--to", "covered@partner.example", "--header", "Subject: allowed"},
           &transcript),
      0)
      << transcript;
  const std::string id = QueuedAs(transcript);
  ASSERT_FALSE(id.empty()) << transcript;
  ASSERT_TRUE(WaitFor(
      [] { return sink_->CountTo("covered@partner.example") > 0; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(sink_->CountTo("covered@partner.example"), 1);
  EXPECT_EQ(HeldLine(id), "");
}

TEST_F(GatewayPostfixTest, UncoveredIsInTheHoldQueueAndRecorded) {
  std::string transcript;
  ASSERT_EQ(
      Send({"--to", "stranger@elsewhere.example", "--header",
            "Subject: =?UTF-8?Q?Pl=C3=A4ne?=", "--body", "the secret plans"},
           &transcript),
      0)
      << transcript;
  const std::string id = QueuedAs(transcript);
  ASSERT_FALSE(id.empty());
  // The README's settings give long queue ids, never given again (a short
  // one is a hex number).
  EXPECT_NE(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
  ASSERT_TRUE(WaitFor([&] { return InQueue("hold", id); }, 5000))
      << postfix_->QueueJson();
  const std::string line = HeldLine(id);
  EXPECT_NE(line.find("mx1.tarnvex.test:" + id + "\t"), std::string::npos);
  EXPECT_NE(line.find("\t0\tanna@tarnvex.test\tstranger@elsewhere.example\t"
                      "Pläne"),
            std::string::npos)
      << line;
  EXPECT_NE(postfix_->Log().find(id + ": milter-hold: "), std::string::npos);
  EXPECT_NE(MilterLog().find("held " + id +
                             " on mx1.tarnvex.test: Tarnvex: "
                             "no rule covers stranger@elsewhere.example"),
            std::string::npos)
      << MilterLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(sink_->CountTo("stranger@elsewhere.example"), 0);
}

TEST_F(GatewayPostfixTest, BccNobodyCoversHoldsTheMessage) {
  AddRule("team@bcc.example");
  std::string transcript;
  // The header names only the covered recipient; the envelope has both.
  ASSERT_EQ(Send({"--to", "team@bcc.example,hidden@leak.example", "--header",
                  "To: team@bcc.example", "--header", "Subject: with bcc"},
                 &transcript),
            0)
      << transcript;
  const std::string id = QueuedAs(transcript);
  ASSERT_TRUE(WaitFor([&] { return InQueue("hold", id); }, 5000));
  EXPECT_NE(HeldLine(id).find("team@bcc.example, hidden@leak.example"),
            std::string::npos);
  EXPECT_NE(MilterLog().find("held " + id +
                             " on mx1.tarnvex.test: Tarnvex: "
                             "no rule covers hidden@leak.example\n"),
            std::string::npos)
      << MilterLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(sink_->CountTo("team@bcc.example"), 0);
}

TEST_F(GatewayPostfixTest, RuleAddedReleasesWithinTwoSecondsAndItArrivesOnce) {
  std::string transcript;
  ASSERT_EQ(Send({"--to", "later@release.example", "--header",
                  "Subject: wait for it"},
                 &transcript),
            0);
  const std::string id = QueuedAs(transcript);
  ASSERT_TRUE(WaitFor([&] { return InQueue("hold", id); }, 5000));
  const auto added = Clock::now();
  AddRule("later@release.example");
  ASSERT_TRUE(
      WaitFor([] { return sink_->CountTo("later@release.example") > 0; }, 2000))
      << postfix_->QueueJson() << MilterLog();
  const auto took = Clock::now() - added;
  EXPECT_LT(took, std::chrono::seconds(2));
  EXPECT_FALSE(InQueue("hold", id));
  EXPECT_NE(HeldLine(id).find("\t1\t"), std::string::npos) << HeldLine(id);
  // Once: another rules change does not release it again.
  AddRule("someone@else.example");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(sink_->CountTo("later@release.example"), 1);
}

TEST_F(GatewayPostfixTest, MilterDownGivesTempFailAndTheRetryIsJudged) {
  AddRule("retry@partner.example");
  StopMilter(SIGKILL);
  std::string transcript;
  EXPECT_NE(
      Send({"--to", "retry@partner.example", "--header", "Subject: while down"},
           &transcript),
      0);
  EXPECT_TRUE(std::regex_search(transcript, std::regex("<\\*\\* 4[0-9][0-9] ")))
      << transcript;
  EXPECT_EQ(QueuedAs(transcript), "");
  ASSERT_NO_FATAL_FAILURE(StartMilter());
  // The client's retry, judged: covered, it arrives once.
  ASSERT_EQ(
      Send({"--to", "retry@partner.example", "--header", "Subject: while down"},
           &transcript),
      0)
      << transcript;
  ASSERT_TRUE(WaitFor(
      [] { return sink_->CountTo("retry@partner.example") > 0; }, 10000));
  // And an uncovered retry is held, not let through.
  ASSERT_EQ(Send({"--to", "retry@nobody.example"}, &transcript), 0);
  const std::string id = QueuedAs(transcript);
  ASSERT_TRUE(WaitFor([&] { return InQueue("hold", id); }, 5000));
  EXPECT_EQ(sink_->CountTo("retry@partner.example"), 1);
}

TEST_F(GatewayPostfixTest, UnreadableRulesGiveTempFail) {
  AddRule("covered@partner.example");
  const std::string rules = *data_ + "/Rules_0.db";
  const std::string aside = *data_ + "/rules-aside.db";
  ASSERT_EQ(std::rename(rules.c_str(), aside.c_str()), 0);
  std::filesystem::create_directory(rules);  // no database can be read there
  std::string transcript;
  // The worker reads the rules again once the folder changed.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_NE(Send({"--to", "covered@partner.example"}, &transcript), 0);
  EXPECT_NE(transcript.find("<** 451 4.3.0 Tarnvex cannot read its rules"),
            std::string::npos)
      << transcript;
  std::filesystem::remove(rules);
  ASSERT_EQ(std::rename(aside.c_str(), rules.c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Send({"--to", "covered@partner.example"}, &transcript), 0)
      << transcript;
}

TEST_F(GatewayPostfixTest, UnwritableRecordsGiveTempFailForAHold) {
  const std::string records = *data_ + "/Gateway.db";
  const std::string aside = *data_ + "/records-aside.db";
  ASSERT_EQ(std::rename(records.c_str(), aside.c_str()), 0);
  std::filesystem::create_directory(records);
  std::string transcript;
  EXPECT_NE(Send({"--to", "unrecorded@nobody.example"}, &transcript), 0);
  EXPECT_NE(transcript.find("<** 451 4.3.0 Tarnvex cannot record"),
            std::string::npos)
      << transcript;
  std::filesystem::remove(records);
  ASSERT_EQ(std::rename(aside.c_str(), records.c_str()), 0);
  ASSERT_EQ(Send({"--to", "unrecorded@nobody.example"}, &transcript), 0)
      << transcript;
  EXPECT_TRUE(
      WaitFor([&] { return InQueue("hold", QueuedAs(transcript)); }, 5000));
}

TEST_F(GatewayPostfixTest, NonSmtpMailIsJudgedToo) {
  const std::string message =
      "From: anna@tarnvex.test\nTo: local@pickup.example\n"
      "Subject: through sendmail\n\nbody\n";
  const std::string file = *base_ + "/sendmail.eml";
  std::ofstream(file) << message;
  std::string out;
  ASSERT_EQ(
      RunMerged({"/bin/sh", "-c",
                 "/usr/sbin/sendmail -C " + postfix_->config() +
                     " -f anna@tarnvex.test local@pickup.example < " + file},
                &out),
      0)
      << out;
  ASSERT_TRUE(WaitFor(
      [] { return Held().find("local@pickup.example") != std::string::npos; },
      15000))
      << postfix_->Log();
  EXPECT_NE(postfix_->QueueJson().find("\"queue_name\": \"hold\""),
            std::string::npos);
}

TEST_F(GatewayPostfixTest, BadInputIsJudgedAndRecordedWithinTheFieldsLimits) {
  const std::string body_file = *base_ + "/hostile.eml";
  // Hostile headers: an 8 MiB subject, a header line with controls, broken
  // MIME (a boundary that never comes, base64 that is not, an unknown
  // charset).
  {
    std::ofstream out(body_file, std::ios::binary);
    out << "From: \"\x01\x7f evil\" <evil@tarnvex.test>\r\n"
        << "To: victim@hostile.example\r\n"
        << "Subject: " << std::string(8 << 20, 'S') << "\r\n"
        << "X-Weird: \x1b[31m red \x07\r\n"
        << "MIME-Version: 1.0\r\n"
        << "Content-Type: multipart/mixed; boundary=\"never\"\r\n\r\n"
        << "--nope\r\nContent-Type: text/plain; charset=x-unknown-charset\r\n"
        << "Content-Transfer-Encoding: base64\r\n\r\n!!!not base64!!!\r\n";
  }
  std::string transcript;
  ASSERT_EQ(Send({"--to", "victim@hostile.example", "--data", "@" + body_file},
                 &transcript),
            0)
      << transcript.substr(0, 2000);
  const std::string id = QueuedAs(transcript);
  ASSERT_TRUE(WaitFor([&] { return InQueue("hold", id); }, 10000));
  std::string line = HeldLine(id);
  ASSERT_NE(line, "");
  // The subject column is the record's: at most 127 bytes.
  const std::string subject = line.substr(line.rfind('\t') + 1);
  EXPECT_LE(subject.size(), 127u);
  EXPECT_EQ(subject.substr(0, 3), "SSS");

  // 10 000 recipients, one of them covered: held, every one recorded.
  std::string many;
  for (int i = 0; i < 10000; ++i)
    many +=
        (i ? "," : "") + std::string("r") + std::to_string(i) + "@many.example";
  // (One argument that long is more than exec takes: smtplib sends it.)
  const std::string many_file = *base_ + "/many.txt";
  std::ofstream(many_file) << many;
  ASSERT_EQ(RunMerged({"/usr/bin/python3", "-c",
                       "import smtplib, sys\n"
                       "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]))\n"
                       "r = s.sendmail('anna@tarnvex.test', "
                       "open(sys.argv[2]).read().split(','),"
                       " 'Subject: many\\r\\n\\r\\nbody\\r\\n')\n",
                       std::to_string(postfix_->port()), many_file},
                      &transcript),
            0)
      << transcript;
  std::string many_id;
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string log = MilterLog();
        const size_t at = log.find(": Tarnvex: no rule covers r0@many.example");
        if (at == std::string::npos) return false;
        const size_t held = log.rfind("held ", at);
        many_id = log.substr(held + 5, log.find(' ', held + 5) - held - 5);
        return true;
      },
      30000));
  ASSERT_TRUE(WaitFor([&] { return InQueue("hold", many_id); }, 20000));
  line = HeldLine(many_id);
  EXPECT_NE(line.find("r0@many.example, r1@many.example"), std::string::npos);
  EXPECT_NE(line.find("r9999@many.example"), std::string::npos);
  EXPECT_NE(MilterLog().find("held " + many_id +
                             " on mx1.tarnvex.test: Tarnvex: no rule covers "
                             "r0@many.example, r1@many.example"),
            std::string::npos);
  EXPECT_NE(MilterLog().find(" more\n"), std::string::npos);
  // The milter lives on and judges the next message.
  AddRule("after@partner.example");
  ASSERT_EQ(Send({"--to", "after@partner.example"}, &transcript), 0);
  EXPECT_TRUE(WaitFor(
      [] { return sink_->CountTo("after@partner.example") == 1; }, 10000));
}

// A second Postfix host sharing the one milter over TCP: its holds are
// recorded with its name and released in its own queue, through the
// --remote prefix.
TEST_F(GatewayPostfixTest, TwoHostsShareOneMilter) {
  PrivatePostfix mx2;
  ASSERT_TRUE(mx2.Start(*base_ + "/postfix2", "mx2.tarnvex.test", sink_->port(),
                        "", ReadmeSettings()))
      << mx2.why();
  std::string transcript;
  std::vector<std::string> argv = {"/usr/bin/swaks",
                                   "--server",
                                   "127.0.0.1:" + std::to_string(mx2.port()),
                                   "--from",
                                   "anna@tarnvex.test",
                                   "--to",
                                   "far@second.example",
                                   "--header",
                                   "Subject: through mx2"};
  ASSERT_EQ(RunProgram(argv, &transcript), 0) << transcript;
  const std::string id = QueuedAs(transcript);
  ASSERT_TRUE(WaitFor(
      [&] {
        return mx2.QueueJson().find(
                   "\"queue_name\": \"hold\", \"queue_id\": \"" + id + "\"") !=
               std::string::npos;
      },
      5000));
  EXPECT_FALSE(InQueue("hold", id));
  EXPECT_NE(Held().find("mx2.tarnvex.test:" + id + "\t"), std::string::npos);
  AddRule("far@second.example");
  ASSERT_TRUE(
      WaitFor([] { return sink_->CountTo("far@second.example") == 1; }, 2000))
      << mx2.QueueJson() << MilterLog();
  // Said once the queue, read again, shows it gone from the hold queue.
  EXPECT_TRUE(WaitFor(
      [&] {
        return MilterLog().find("released " + id + " on mx2.tarnvex.test") !=
               std::string::npos;
      },
      5000));
  EXPECT_EQ(mx2.QueueJson(), "");
}

}  // namespace
}  // namespace testing_support
