// The transport's pace with the relay: a relay that takes connections and
// never answers costs one connect timeout a pass (not one a message), and
// once the real relay is back on its port the waiting mail goes within
// about a connect timeout; a message whose data the relay answers late
// holds only its own connection, the others' messages arrive meanwhile.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "mail/queue/deliveries.h"
#include "tests/e2e/relay_fixture.h"

namespace {

using testing_support::ChildProcess;
using testing_support::Eventually;
using testing_support::RelayEndToEndTest;

constexpr int kConnectTimeoutMs = 400;

class RelayPaceTest : public RelayEndToEndTest {
 protected:
  std::vector<std::string> TransportArgs() const override {
    std::vector<std::string> args = RelayEndToEndTest::TransportArgs();
    args.insert(args.end(),
                {"--relay-connections", "4", "--relay-connect-timeout-ms",
                 std::to_string(kConnectTimeoutMs)});
    return args;
  }

  std::vector<int64_t> SubmitTo(const std::string& to, int count) {
    std::vector<int64_t> ids;
    for (int i = 0; i < count; ++i) {
      ids.push_back(SubmitMail("anna@example.org", {to},
                               "To: " + to + "\r\nSubject: m" +
                                   std::to_string(i) + "\r\n\r\nhello\r\n"));
    }
    return ids;
  }
  bool AllSent(const std::vector<int64_t>& ids) {
    for (int64_t id : ids) {
      if (FolderOf(id) != "Sent Items") return false;
    }
    return true;
  }
};

TEST_F(RelayPaceTest, ASilentRelayCostsOneTimeoutAPassAndMailGoesOnceItIsBack) {
  // Takes every connection, says nothing, and tells each accept.
  ChildProcess silent;
  ASSERT_TRUE(silent.Start(
      {"/usr/bin/python3", "-c",
       "import socket\n"
       "s = socket.socket()\n"
       "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
       "s.bind(('127.0.0.1', 0)); s.listen(64)\n"
       "print('ready %d' % s.getsockname()[1], flush=True)\n"
       "held = []\n"
       "while True:\n"
       "  held.append(s.accept()); print('accepted', flush=True)\n"}));
  std::string line;
  ASSERT_TRUE(silent.WaitForLine("ready ", &line));
  relay_port_ = std::atoi(line.c_str() + 6);
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const std::vector<int64_t> ids = SubmitTo("bob@example.org", 12);
  ASSERT_TRUE(silent.WaitForLine("accepted", &line, 10000));
  // Each pass: one connection's timeout, then a pause no longer than it.
  constexpr int kWatchMs = 3000;
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kWatchMs);
  int accepts = 1;
  while (std::chrono::steady_clock::now() < until) {
    const int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                             until - std::chrono::steady_clock::now())
                             .count());
    if (left > 0 && silent.ReadLine(&line, left) && line == "accepted")
      ++accepts;
  }
  EXPECT_LE(accepts, kWatchMs / kConnectTimeoutMs + 1);
  for (int64_t id : ids) EXPECT_EQ(FolderOf(id), "Outbox");

  // The real relay on that port: everything goes within about one connect
  // timeout (plus the time the deliveries take).
  silent.Kill();
  ASSERT_NO_FATAL_FAILURE(StartRelay());
  EXPECT_TRUE(
      Eventually([&] { return AllSent(ids); }, kConnectTimeoutMs + 4000));
  EXPECT_EQ(ArrivalsFor("bob@example.org"), 12);
}

TEST_F(RelayPaceTest, ALateAnswerHoldsOnlyItsOwnConnection) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({"--slow-to", "slow@example.org=60"}));
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org slow@example.org"));
  const std::vector<int64_t> slow = SubmitTo("slow@example.org", 1);
  ASSERT_TRUE(Eventually([&] {
    const auto states = mail::DeliveryStates(slow[0]);
    return !states.empty() && states[0].state == mail::DeliveryState::kSending;
  }));
  const std::vector<int64_t> quick = SubmitTo("bob@example.org", 8);
  EXPECT_TRUE(Eventually([&] { return AllSent(quick); }, 15000));
  EXPECT_EQ(ArrivalsFor("bob@example.org"), 8);
  EXPECT_EQ(FolderOf(slow[0]), "Outbox");
  EXPECT_EQ(ArrivalsFor("slow@example.org"), 0);
}

}  // namespace
