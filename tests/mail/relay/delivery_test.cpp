// Reading the relay's answers: each recipient's outcome from one SMTP
// transaction as libcurl's debug output shows it (the lines sent, the reply
// lines read), the verdict of a reply code, and the line ends a message is
// sent with.
#include "mail/relay/delivery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using mail::DeliveryOutcome;
using mail::DeliveryVerdict;

// Feeds a conversation: lines starting "> " were sent, "< " read.
mail::SmtpConversation Conversation(const std::vector<std::string>& lines) {
  mail::SmtpConversation c;
  for (const std::string& line : lines) {
    if (line.rfind("> ", 0) == 0) c.Sent(line.substr(2) + "\r\n");
    if (line.rfind("< ", 0) == 0) c.Received(line.substr(2) + "\r\n");
  }
  return c;
}

const std::vector<std::string> kThree = {"a@example.org", "b@example.org",
                                         "c@example.org"};

// The greeting, STARTTLS, AUTH (its credentials line included) and MAIL,
// as a fresh connection has them before the recipients.
const std::vector<std::string> kOpening = {
    "< 220 relay.test ESMTP",
    "> EHLO host",
    "< 250-relay.test",
    "< 250-STARTTLS",
    "< 250 SIZE 1000",
    "> STARTTLS",
    "< 220 Ready to start TLS",
    "> EHLO host",
    "< 250-relay.test",
    "< 250 AUTH PLAIN",
    "> AUTH PLAIN",
    "< 334 ",
    "> AGFubmEAcGFzc3dvcmQ=",
    "< 235 2.7.0 Authentication successful",
    "> MAIL FROM:<anna@example.org> SIZE=20",
    "< 250 OK",
};

std::vector<std::string> With(std::vector<std::string> lines,
                              const std::vector<std::string>& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

TEST(DeliveryTest, EachRecipientGetsItsOwnReplyAndTheAcceptedOnesTheData) {
  const auto c = Conversation(With(
      kOpening,
      {"> RCPT TO:<a@example.org>", "< 250 2.1.5 OK",
       "> RCPT TO:<b@example.org>", "< 550-5.1.1 <b@example.org>: no such user",
       "< 550 5.1.1 see the postmaster", "> RCPT TO:<c@example.org>",
       "< 452 4.2.2 mailbox full", "> DATA", "< 354 go ahead",
       "< 250 2.0.0 queued as 7"}));
  const std::vector<DeliveryOutcome> out = c.Outcomes(kThree, "");
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].recipient, "a@example.org");
  EXPECT_EQ(out[0].verdict, DeliveryVerdict::kDelivered);
  EXPECT_EQ(out[0].reply, "250 2.0.0 queued as 7");
  EXPECT_EQ(out[1].verdict, DeliveryVerdict::kFailed);
  // Both lines of the reply, one text.
  EXPECT_EQ(out[1].reply,
            "550 5.1.1 <b@example.org>: no such user 5.1.1 see the postmaster");
  EXPECT_EQ(out[2].verdict, DeliveryVerdict::kDeferred);
  EXPECT_EQ(out[2].reply, "452 4.2.2 mailbox full");
}

TEST(DeliveryTest, TheAnswerToTheDataDecidesForEveryAcceptedRecipient) {
  const std::vector<std::string> accepted = {"> RCPT TO:<a@example.org>",
                                             "< 250 OK",
                                             "> RCPT TO:<b@example.org>",
                                             "< 250 OK",
                                             "> RCPT TO:<c@example.org>",
                                             "< 550 no",
                                             "> DATA",
                                             "< 354 go ahead"};
  auto after = [&](const std::string& end) {
    return Conversation(With(With(kOpening, accepted), {end}))
        .Outcomes(kThree, "the relay could not be used: weird reply");
  };
  auto deferred = after("< 451 4.3.0 try again later");
  EXPECT_EQ(deferred[0].verdict, DeliveryVerdict::kDeferred);
  EXPECT_EQ(deferred[1].reply, "451 4.3.0 try again later");
  EXPECT_EQ(deferred[2].verdict, DeliveryVerdict::kFailed);  // its own 550
  auto refused = after("< 554 5.6.0 message refused");
  EXPECT_EQ(refused[0].verdict, DeliveryVerdict::kFailed);
  EXPECT_EQ(refused[1].reply, "554 5.6.0 message refused");

  // DATA itself refused.
  auto data =
      Conversation(With(kOpening, {"> RCPT TO:<a@example.org>", "< 250 OK",
                                   "> DATA", "< 554 no valid recipients"}))
          .Outcomes({"a@example.org"}, "weird reply");
  EXPECT_EQ(data[0].verdict, DeliveryVerdict::kFailed);
  EXPECT_EQ(data[0].reply, "554 no valid recipients");
}

TEST(DeliveryTest, ARefusedSenderDecidesForAll) {
  std::vector<std::string> lines(kOpening.begin(), kOpening.end() - 1);
  auto refused = Conversation(With(lines, {"< 553 5.7.1 sender not allowed"}))
                     .Outcomes(kThree, "MAIL failed");
  for (const DeliveryOutcome& o : refused) {
    EXPECT_EQ(o.verdict, DeliveryVerdict::kFailed);
    EXPECT_EQ(o.reply, "553 5.7.1 sender not allowed");
  }
  auto later = Conversation(With(lines, {"< 421 4.7.0 busy, come back"}))
                   .Outcomes(kThree, "MAIL failed");
  for (const DeliveryOutcome& o : later)
    EXPECT_EQ(o.verdict, DeliveryVerdict::kDeferred);
}

TEST(DeliveryTest, WithoutAnAnswerEveryoneIsDeferredWithTheReason) {
  // Nothing heard at all: refused connection, DNS, a certificate that does
  // not verify.
  auto nothing = mail::SmtpConversation{}.Outcomes(
      kThree, "the relay's certificate does not verify: self-signed");
  for (const DeliveryOutcome& o : nothing) {
    EXPECT_EQ(o.verdict, DeliveryVerdict::kDeferred);
    EXPECT_EQ(o.reply, "the relay's certificate does not verify: self-signed");
  }
  // The connection broke after the data went, before its answer: nobody
  // is known to have it.
  auto broken =
      Conversation(With(kOpening, {"> RCPT TO:<a@example.org>", "< 250 OK",
                                   "> RCPT TO:<b@example.org>", "< 250 OK",
                                   "> DATA", "< 354 go ahead"}))
          .Outcomes(kThree, "the connection to the relay broke");
  EXPECT_EQ(broken[0].verdict, DeliveryVerdict::kDeferred);
  EXPECT_EQ(broken[0].reply, "the connection to the relay broke");
  EXPECT_EQ(broken[2].verdict, DeliveryVerdict::kDeferred);  // never asked
  // A refused login (535 to AUTH) is no recipient's fault.
  auto login = Conversation({"< 220 hi", "> AUTH PLAIN", "< 334 ",
                             "> AGFubmEAcGFzc3dvcmQ=",
                             "< 535 5.7.8 authentication failed"})
                   .Outcomes(kThree, "the relay refused the login");
  EXPECT_EQ(login[1].verdict, DeliveryVerdict::kDeferred);
}

TEST(DeliveryTest, ARelaysReplyIsKeptOnOneLineWhateverItHolds) {
  // A hostile or broken relay: a CR inside a line, a NUL, a tab, an endless
  // line. The reply is shown by ls and printed by run, one line each.
  mail::SmtpConversation c;
  c.Sent("MAIL FROM:<a@example.org>\r\n");
  c.Received("250 OK\r\n");
  c.Sent("RCPT TO:<a@example.org>\r\n");
  c.Received(std::string("550 bad\rFAKE 250 ok\0\tthere\r\n", 28));
  c.Sent("RCPT TO:<b@example.org>\r\n");
  c.Received("451 " + std::string(5000, 'y') + "\r\n");
  const auto out = c.Outcomes({"a@example.org", "b@example.org"}, "x");
  EXPECT_EQ(out[0].reply, "550 bad FAKE 250 ok  there");
  EXPECT_LE(out[1].reply.size(), 1004u);
}

TEST(DeliveryTest, ReplyCodesAndLineEnds) {
  EXPECT_EQ(mail::VerdictOfReply(250), DeliveryVerdict::kDelivered);
  EXPECT_EQ(mail::VerdictOfReply(251), DeliveryVerdict::kDelivered);
  EXPECT_EQ(mail::VerdictOfReply(421), DeliveryVerdict::kDeferred);
  EXPECT_EQ(mail::VerdictOfReply(451), DeliveryVerdict::kDeferred);
  EXPECT_EQ(mail::VerdictOfReply(550), DeliveryVerdict::kFailed);
  EXPECT_EQ(mail::VerdictOfReply(554), DeliveryVerdict::kFailed);
  EXPECT_EQ(mail::VerdictOfReply(0), DeliveryVerdict::kDeferred);
  EXPECT_EQ(mail::VerdictOfReply(354), DeliveryVerdict::kDeferred);

  EXPECT_EQ(mail::ToCrlf("a\r\nb\r\n"), "a\r\nb\r\n");
  EXPECT_EQ(mail::ToCrlf("a\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(mail::ToCrlf("a\rb\r\n\nc"), "a\r\nb\r\n\r\nc");
  EXPECT_EQ(mail::ToCrlf(std::string("\xff\0x\n", 4)),
            std::string("\xff\0x\r\n", 5));
}

}  // namespace
