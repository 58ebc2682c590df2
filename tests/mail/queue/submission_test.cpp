// How a submission that cannot be stored is answered: by the kind of its
// failure, never by the words of its reason.
#include "mail/queue/submission.h"

#include <gtest/gtest.h>
#include <sysexits.h>

#include <string>

#include "base/status.h"
#include "device/image.h"
#include "device/service/service.h"
#include "tests/support/temp_image.h"

namespace {

using base::Status;

TEST(SubmissionAnswerTest, TheSendersErrorsArePermanentEverythingElsePasses) {
  for (const Status& failure :
       {Status::InvalidArgument("x"), Status::NotFound("x")}) {
    const mail::FailureAnswer a = mail::AnswerFor(failure);
    EXPECT_TRUE(a.permanent) << failure.ToString();
    EXPECT_EQ(a.smtp_code, 554);
    EXPECT_STREQ(a.enhanced, "5.6.0");
    EXPECT_EQ(a.exit_status, EX_DATAERR);
  }
  // Words of a refusal in a reason do not make it one.
  for (const Status& failure :
       {Status::Busy("too many recipients"), Status::IoError("too large"),
        Status::Corrupt("no store"), Status::ResourceExhausted("x"),
        Status::Unavailable("x")}) {
    const mail::FailureAnswer a = mail::AnswerFor(failure);
    EXPECT_FALSE(a.permanent) << failure.ToString();
    EXPECT_EQ(a.smtp_code, 451);
    EXPECT_STREQ(a.enhanced, "4.3.0");
    EXPECT_EQ(a.exit_status, EX_TEMPFAIL);
  }
}

mail::Submission Mail(const std::string& store) {
  mail::Submission s;
  s.store = store;
  s.envelope_from = "anna@example.org";
  s.recipients = {"ben@example.net"};
  s.raw = "From: anna@example.org\r\nSubject: Hi\r\n\r\nHello\r\n";
  return s;
}

TEST(SubmissionAnswerTest, SubmitFailsWithTheKindThatSaysWhoMustAct) {
  testing_support::TempImage image;
  const base::Status made = device::CreateStore("E-mail");
  ASSERT_TRUE(made.ok()) << made.message();
  // The sender's: no recipients, a store that is not there.
  mail::Submission none = Mail("E-mail");
  none.recipients.clear();
  EXPECT_TRUE(mail::Submit(none).status().IsInvalidArgument());
  EXPECT_TRUE(
      mail::AnswerFor(mail::Submit(Mail("Nowhere")).status()).permanent);
  // No image now, at a path whose words read like a refusal: the device's,
  // and the sender may try again.
  const std::string root = image.root();
  device::SetImageRoot(root + "/too large, no store");
  const base::StatusOr<int64_t> later = mail::Submit(Mail("E-mail"));
  device::SetImageRoot(root);
  ASSERT_FALSE(later.ok());
  EXPECT_TRUE(later.status().IsUnavailable()) << later.status().ToString();
  EXPECT_FALSE(mail::AnswerFor(later.status()).permanent);
  // And the store takes mail again.
  EXPECT_TRUE(mail::Submit(Mail("E-mail")).ok());
  device::CloseMessageService();
}

}  // namespace
