// Real e-mail out: the transport (tarnvex-device run) delivers the E-mail
// store through a real SMTP server as the relay, with STARTTLS, AUTH and a
// certificate it checks; only what the filter lets go, each recipient
// once, with retries, failures noticed in the Inbox, and nothing when the
// relay's certificate does not verify.
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/codepage.h"
#include "mail/queue/deliveries.h"
#include "tests/e2e/relay_fixture.h"

namespace {

using testing_support::AfterAddedFields;
using testing_support::Arrival;
using testing_support::BinPath;
using testing_support::ChildProcess;
using testing_support::Eventually;
using testing_support::RelayEndToEndTest;
using testing_support::RunProgram;

// Mail as a client submits it: CRLF lines, a line that begins with a dot
// (stuffed on the wire and unstuffed by the relay), 8-bit text.
const std::string kMail =
    "From: Anna <anna@example.org>\r\n"
    "To: Bob <bob@example.org>\r\n"
    "Subject: Lunch\r\n"
    "Message-ID: <lunch.1@example.org>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: 8bit\r\n"
    "\r\n"
    "Gr\xc3\xbc\xc3\x9f"
    "e,\r\n"
    ". a line that begins with a dot\r\n"
    "..and one with two\r\n";

class RelayTest : public RelayEndToEndTest {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(RelayEndToEndTest::SetUp()); }
  // Lets the transport run a while: what should not arrive has had its
  // chance to.
  void Linger() {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(testing_support::kSendDelayMs * 4));
  }
};

TEST_F(RelayTest, ReleasedMailArrivesOnceByteForByteAndHeldMailNever) {
  ASSERT_NO_FATAL_FAILURE(StartRelay());
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const int64_t held = SubmitMail("anna@example.org", {"eve@example.net"},
                                  "Subject: to eve\r\n\r\nheld\r\n");
  const int64_t covered =
      SubmitMail("anna@example.org", {"bob@example.org"}, kMail);
  ASSERT_TRUE(Eventually([&] { return FolderOf(covered) == "Sent Items"; }));
  EXPECT_TRUE(Eventually([&] { return FolderOf(held) == "Outbox\\Tarnvex"; }));
  Linger();
  const std::vector<Arrival> arrived = Arrivals();
  ASSERT_EQ(arrived.size(), 1u);
  EXPECT_EQ(arrived[0].from, "anna@example.org");
  EXPECT_EQ(arrived[0].to, std::vector<std::string>{"bob@example.org"});
  // As it was kept: behind the device's Received line and the Date it
  // lacked, byte for byte.
  EXPECT_EQ(AfterAddedFields(arrived[0].data, {"Received", "Date"}), kMail);
  EXPECT_EQ(ArrivalsFor("eve@example.net"), 0);
  const std::string line = LsLine(covered);
  EXPECT_NE(line.find("\tdelivery: bob@example.org delivered (250 2.0.0 Ok"),
            std::string::npos)
      << line;
}

TEST_F(RelayTest, WithTheFilterStoppedNothingArrivesUntilItListens) {
  ASSERT_NO_FATAL_FAILURE(StartRelay());
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  host_->Kill();
  const int64_t id = SubmitMail("anna@example.org", {"bob@example.org"}, kMail);
  Linger();
  EXPECT_EQ(FolderOf(id), "Outbox");
  EXPECT_TRUE(Arrivals().empty());
  EXPECT_TRUE(mail::DeliveryStates(id).empty());  // never handed over
  EXPECT_NE(LsLine(id).find("waiting for filter_host to listen on E-mail"),
            std::string::npos)
      << LsLine(id);
  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
  EXPECT_EQ(Arrivals().size(), 1u);
}

TEST_F(RelayTest, ACoveredMessageThroughSendmailArrives) {
  ASSERT_NO_FATAL_FAILURE(StartRelay());
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  // As mutt or git send-email hand it over: LF line ends, Bcc header.
  const std::string message =
      "From: anna@example.org\nTo: bob@example.org\n"
      "Bcc: bob@example.org\nSubject: by sendmail\n\nHello\n";
  const std::string input = dir_ + "/sendmail-input";
  std::ofstream(input, std::ios::binary) << message;
  ASSERT_EQ(
      RunProgram({"/bin/sh", "-c",
                  "'" + BinPath("tarnvex-device") + "' --root '" +
                      image_->root() + "' sendmail -t -i < '" + input + "'"}),
      0);
  ASSERT_TRUE(Eventually([&] { return Arrivals().size() == 1; }));
  const Arrival a = Arrivals()[0];
  EXPECT_EQ(a.to, std::vector<std::string>{"bob@example.org"});
  // The kept message (less its Bcc), with the line ends SMTP sends.
  EXPECT_EQ(AfterAddedFields(a.data, {"Received", "Date", "Message-ID"}),
            "From: anna@example.org\r\nTo: bob@example.org\r\n"
            "Subject: by sendmail\r\n\r\nHello\r\n");
}

TEST_F(RelayTest, AMessageWithoutItsRawFormIsWrittenOutForTheRelay) {
  ASSERT_NO_FATAL_FAILURE(StartRelay());
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const int64_t id = SendTo("E-mail", {"bob@example.org"},
                            "Gr\xc3\xbc\xc3\x9f"
                            "e",
                            "From the messaging application");
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
  ASSERT_EQ(Arrivals().size(), 1u);
  const Arrival a = Arrivals()[0];
  EXPECT_EQ(a.from, "anna@example.org");
  EXPECT_EQ(a.to, std::vector<std::string>{"bob@example.org"});
  EXPECT_NE(a.data.find("From: Anna <anna@example.org>\r\n"), std::string::npos)
      << a.data;
  EXPECT_EQ(
      a.data.rfind("Received: by localhost (tarnvex-device messaging); ", 0),
      0u)
      << a.data;
  EXPECT_NE(a.data.find("To: bob@example.org\r\n"), std::string::npos);
  EXPECT_NE(a.data.find("Subject: =?"), std::string::npos);  // encoded
  EXPECT_NE(a.data.find("From the messaging application"), std::string::npos);
}

TEST_F(RelayTest, DeferredTwiceThenAcceptedIsDeliveredOnce) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({"--defer-data", "2"}));
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const int64_t id = SubmitMail("anna@example.org", {"bob@example.org"}, kMail);
  ASSERT_TRUE(Eventually([&] {
    const auto states = mail::DeliveryStates(id);
    return !states.empty() && states[0].state == mail::DeliveryState::kDeferred;
  }));
  const std::string line = LsLine(id);
  EXPECT_NE(line.find("bob@example.org deferred until"), std::string::npos)
      << line;
  EXPECT_NE(line.find("451 4.3.0 Try again later"), std::string::npos) << line;
  EXPECT_EQ(FolderOf(id), "Outbox");
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
  Linger();
  EXPECT_EQ(Arrivals().size(), 1u);
  const auto states = mail::DeliveryStates(id);
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].state, mail::DeliveryState::kDelivered);
  EXPECT_EQ(states[0].attempts, 3);
  std::string said;
  EXPECT_TRUE(transport_.WaitForLine(
      "delivery: message " + std::to_string(id) + " to bob", &said));
  EXPECT_NE(said.find("deferred until"), std::string::npos) << said;
}

TEST_F(RelayTest, ARecipientRefusedFailsWithANoticeAndTheOthersGetIt) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({"--reject", "carol@example.net"}));
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(
      AddCoveringRule("bob@example.org carol@example.net dave@example.org"));
  const int64_t id = SubmitMail(
      "anna@example.org",
      {"bob@example.org", "carol@example.net", "dave@example.org"}, kMail);
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
  const std::vector<Arrival> arrived = Arrivals();
  ASSERT_EQ(arrived.size(), 1u);  // one transaction for the message
  EXPECT_EQ(arrived[0].to,
            (std::vector<std::string>{"bob@example.org", "dave@example.org"}));
  const std::vector<device::ServiceMessage> inbox =
      device::ListMessages("E-mail", "Inbox");
  ASSERT_EQ(inbox.size(), 1u);
  EXPECT_EQ(inbox[0].subject, u"Undelivered mail: Lunch");
  const std::string notice = device::WideToUtf8(inbox[0].body);
  EXPECT_NE(notice.find("carol@example.net\n    550 5.1.1 "
                        "<carol@example.net>: Recipient address rejected"),
            std::string::npos)
      << notice;
  EXPECT_NE(notice.find("delivered to: bob@example.org, dave@example.org"),
            std::string::npos)
      << notice;
  const std::string line = LsLine(id);
  EXPECT_NE(line.find("carol@example.net failed: 550"), std::string::npos)
      << line;
  Linger();
  EXPECT_EQ(Arrivals().size(), 1u);
}

TEST_F(RelayTest, MailWaitsWhileTheRelayIsDownAndGoesWhenItReturns) {
  ASSERT_NO_FATAL_FAILURE(StartRelay());
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  StopRelay();
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const int64_t id = SubmitMail("anna@example.org", {"bob@example.org"}, kMail);
  ASSERT_TRUE(Eventually([&] {
    return LsLine(id).find("cannot connect to the relay") != std::string::npos;
  })) << LsLine(id);
  EXPECT_EQ(FolderOf(id), "Outbox");
  // Down for a few retries more; then back on the same port.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(FolderOf(id), "Outbox");
  ASSERT_NO_FATAL_FAILURE(StartRelay());
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }, 20000));
  EXPECT_EQ(Arrivals().size(), 1u);
  EXPECT_GE(mail::DeliveryStates(id)[0].attempts, 3);
}

TEST_F(RelayTest, ACertificateThatDoesNotVerifyDeliversNothingAndSaysWhy) {
  ASSERT_NO_FATAL_FAILURE(StartRelay());
  ASSERT_NO_FATAL_FAILURE(UseRelay(/*trust_certificate=*/false));
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const int64_t id = SubmitMail("anna@example.org", {"bob@example.org"}, kMail);
  // One reading of the line: the next try may already be under way.
  std::string line;
  ASSERT_TRUE(Eventually([&] {
    line = LsLine(id);
    return line.find("certificate does not verify") != std::string::npos &&
           line.find("bob@example.org deferred until") != std::string::npos;
  })) << line;
  Linger();
  EXPECT_EQ(FolderOf(id), "Outbox");
  EXPECT_TRUE(Arrivals().empty());
  EXPECT_TRUE(device::ListMessages("E-mail", "Inbox").empty());  // no bounce
}

class RelayGiveUpTest : public RelayTest {
 protected:
  std::vector<std::string> TransportArgs() const override {
    return {"--retry-base-ms", "200", "--give-up-after-s", "1"};
  }
};

TEST_F(RelayGiveUpTest, DeferredPastTheGiveUpTimeFailsWithANotice) {
  ASSERT_NO_FATAL_FAILURE(StartRelay({"--defer-data", "1000"}));
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const int64_t id = SubmitMail("anna@example.org", {"bob@example.org"}, kMail);
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
  const auto states = mail::DeliveryStates(id);
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].state, mail::DeliveryState::kFailed);
  EXPECT_NE(states[0].reply.find("given up"), std::string::npos)
      << states[0].reply;
  EXPECT_NE(states[0].reply.find("451 4.3.0 Try again later"),
            std::string::npos);
  EXPECT_EQ(device::ListMessages("E-mail", "Inbox").size(), 1u);
  EXPECT_TRUE(Arrivals().empty());
  std::string said;
  EXPECT_TRUE(transport_.WaitForLine(
      "delivery: message " + std::to_string(id) + " done", &said));
  EXPECT_NE(said.find("a failure notice is in the Inbox"), std::string::npos)
      << said;
}

TEST_F(RelayTest, ARelayThatNeverAnswersStallsNoOtherStore) {
  // A relay that takes the connection and says nothing.
  ChildProcess silent;
  ASSERT_TRUE(silent.Start(
      {"/usr/bin/python3", "-c",
       "import socket, time\n"
       "s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(8)\n"
       "print('ready %d' % s.getsockname()[1], flush=True)\n"
       "held = []\n"
       "while True: held.append(s.accept())\n"}));
  std::string line;
  ASSERT_TRUE(silent.WaitForLine("ready ", &line));
  relay_port_ = std::atoi(line.c_str() + 6);
  ASSERT_NO_FATAL_FAILURE(UseRelay());
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org 5550100"));
  const int64_t mail_id =
      SubmitMail("anna@example.org", {"bob@example.org"}, kMail);
  ASSERT_TRUE(Eventually([&] {
    const auto states = mail::DeliveryStates(mail_id);
    return !states.empty() && states[0].state == mail::DeliveryState::kSending;
  }));
  // The SMS goes while the relay keeps the e-mail waiting.
  const int64_t sms = Send({"5550100"});
  EXPECT_TRUE(Eventually([&] { return FolderOf(sms) == "Sent Items"; }));
  EXPECT_EQ(FolderOf(mail_id), "Outbox");
  // And the transport stops when asked, hanging relay or not.
  transport_.Kill(SIGTERM);
  EXPECT_TRUE(transport_.Wait(5000));
}

}  // namespace
