// The transport killed (SIGKILL) at random moments while it delivers: every
// covered message still reaches the relay, no uncovered one ever does, and
// a message is sent twice only when a kill fell between the relay's answer
// and its commit (at most one transaction a connection a kill). Once over
// one connection, once over four to a relay that answers each message's
// data 0.15 s late, so that the kills land mid-delivery. The seed, the
// kills and the duplicates are printed.
#include <signal.h>

#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/relay_fixture.h"

namespace {

using testing_support::Eventually;
using testing_support::RelayEndToEndTest;

constexpr int kMessages = 100;
constexpr int kKills = 20;

class RelayKillTest : public RelayEndToEndTest {
 protected:
  int SendDelayMs() const override { return 100; }
  virtual int Connections() const { return 1; }
  std::vector<std::string> TransportArgs() const override {
    std::vector<std::string> args = RelayEndToEndTest::TransportArgs();
    args.insert(args.end(),
                {"--relay-connections", std::to_string(Connections())});
    return args;
  }
  void KillWhileDelivering(const std::vector<std::string>& relay_options);
};

class RelayKillFourConnectionsTest : public RelayKillTest {
 protected:
  int Connections() const override { return 4; }
};

// The message number a relayed message carries in its subject.
int NumberOf(const std::string& data) {
  const size_t at = data.find("Subject: n");
  return at == std::string::npos ? -1 : std::atoi(data.c_str() + at + 10);
}

void RelayKillTest::KillWhileDelivering(
    const std::vector<std::string>& relay_options) {
  ASSERT_NO_FATAL_FAILURE(StartRelay(relay_options));
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const unsigned seed = std::random_device{}();
  std::cout << "seed " << seed << "\n";
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pause_ms(20, 700);
  std::bernoulli_distribution covered_one(0.8);
  std::string body;
  for (int line = 0; line < 25; ++line) body += std::string(78, 'x') + "\r\n";

  std::vector<int64_t> ids(kMessages);
  std::vector<bool> covered(kMessages);
  int next = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    for (int i = 0; i < kMessages / kKills; ++i, ++next) {
      covered[next] = covered_one(random);
      const std::string to =
          covered[next] ? "bob@example.org" : "eve@example.net";
      ids[next] =
          SubmitMail("anna@example.org", {to},
                     "From: anna@example.org\r\nTo: " + to + "\r\nSubject: n" +
                         std::to_string(next) + "\r\n\r\n" + body);
      ASSERT_GT(ids[next], 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
    transport_.Kill(SIGKILL);
    ASSERT_NO_FATAL_FAILURE(StartTransport());
  }
  for (int i = 0; i < kMessages; ++i) {
    const char* where = covered[i] ? "Sent Items" : "Outbox\\Tarnvex";
    ASSERT_TRUE(Eventually([&] { return FolderOf(ids[i]) == where; }, 60000))
        << "message n" << i << " is in " << FolderOf(ids[i]);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));

  std::map<int, int> arrivals;
  for (const testing_support::Arrival& a : Arrivals()) {
    EXPECT_EQ(a.to, std::vector<std::string>{"bob@example.org"});
    ++arrivals[NumberOf(a.data)];
  }
  int duplicates = 0;
  for (int i = 0; i < kMessages; ++i) {
    if (covered[i]) {
      EXPECT_GE(arrivals[i], 1)
          << "n" << i << " never arrived: " << LsLine(ids[i]);
      duplicates += std::max(0, arrivals[i] - 1);
    } else {
      EXPECT_EQ(arrivals[i], 0) << "n" << i << " was held, yet it arrived";
    }
  }
  EXPECT_EQ(arrivals.count(-1), 0u);
  std::cout << kKills << " kills, " << duplicates
            << " message(s) delivered twice\n";
  RecordProperty("duplicates", duplicates);
  EXPECT_LE(duplicates, kKills * Connections());
}

TEST_F(RelayKillTest, KilledTwentyTimesWhileDeliveringLosesAndLeaksNothing) {
  KillWhileDelivering({});
}

TEST_F(RelayKillFourConnectionsTest,
       KilledTwentyTimesMidDeliveryResendsAtMostTheTransactionsUnderWay) {
  KillWhileDelivering({"--data-delay", "0.15"});
}

}  // namespace
