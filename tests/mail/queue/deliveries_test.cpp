// The relay's queue in the service file: a message is claimed only as the
// gate saw it, each recipient's outcome is kept, a delivered recipient is
// never claimed again, deferred ones come back on the retry schedule and
// fail after the give-up time, and a message nobody is left to try goes
// into Sent Items with a notice in the Inbox when someone failed.
#include "mail/queue/deliveries.h"

#include <chrono>
#include <string>
#include <vector>

#include "device/service/service.h"
#include "tests/support/mapi_fixture.h"
#include "tests/support/service_file.h"

namespace {

using mail::ClaimResult;
using mail::DeliveryState;
using mail::DeliveryVerdict;

class DeliveriesTest : public MapiTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MapiTest::SetUp());
    const base::Status made = device::CreateStore("E-mail");
    ASSERT_TRUE(made.ok()) << made.message();
    policy_.retry_base_ms = 1000;
    policy_.give_up_after_ms = 10000;
    // The queue is given its time; messages saved from now on lie in the
    // Outbox since before it.
    t0_ = std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::system_clock::now().time_since_epoch())
              .count() +
          60000;
  }

  int64_t SaveMail(const std::vector<std::u16string>& to) {
    return Save(to, u"Lunch", u"At noon?", 0, "E-mail");
  }

  // The one candidate of the E-mail store at `now`, or a failure.
  mail::DeliveryCandidate Candidate(int64_t now) {
    const base::StatusOr<std::vector<mail::DeliveryCandidate>> due =
        mail::DueDeliveries("E-mail", 0, now);
    EXPECT_TRUE(due.ok()) << due.status().message();
    if (!due.ok()) return mail::DeliveryCandidate{};
    EXPECT_EQ(due->size(), 1u);
    return due->empty() ? mail::DeliveryCandidate{} : (*due)[0];
  }
  size_t DueCount(int64_t now) {
    const base::StatusOr<std::vector<mail::DeliveryCandidate>> due =
        mail::DueDeliveries("E-mail", 0, now);
    EXPECT_TRUE(due.ok()) << due.status().message();
    return due.ok() ? due->size() : 0;
  }

  mail::DeliveryOutcome Outcome(const std::string& recipient,
                                DeliveryVerdict verdict,
                                const std::string& reply) {
    mail::DeliveryOutcome o;
    o.recipient = recipient;
    o.verdict = verdict;
    o.reply = reply;
    return o;
  }

  mail::RecipientDelivery State(int64_t id, const std::string& recipient) {
    for (const mail::RecipientDelivery& r : mail::DeliveryStates(id)) {
      if (r.recipient == recipient) return r;
    }
    ADD_FAILURE() << "no row for " << recipient;
    return {};
  }

  std::string FolderOf(int64_t id) {
    device::ServiceMessage m;
    return device::GetServiceMessage(id, &m) ? m.folder_path : "";
  }

  mail::DeliveryPolicy policy_;
  int64_t t0_ = 0;
};

TEST_F(DeliveriesTest, AClaimedMessageDeliveredToAllGoesIntoSentItems) {
  const int64_t id =
      SaveMail({u"a@example.org", u"b@example.org", u"a@example.org"});
  Save({u"555 0100"}, u"sms", u"text");  // another store: never the relay's
  const base::StatusOr<mail::DeliveryClaim> claim =
      mail::ClaimDelivery(Candidate(t0_), t0_);
  ASSERT_TRUE(claim.ok()) << claim.status().message();
  ASSERT_EQ(claim->result, ClaimResult::kClaimed);
  // The judged recipients, each once, in their order.
  EXPECT_EQ(claim->recipients,
            (std::vector<std::string>{"a@example.org", "b@example.org"}));
  EXPECT_EQ(State(id, "a@example.org").state, DeliveryState::kSending);
  EXPECT_EQ(State(id, "a@example.org").attempts, 1);
  EXPECT_EQ(DueCount(t0_), 0u);  // under way: not handed over twice

  mail::DeliveryRecord record;
  ASSERT_TRUE(
      mail::RecordDelivery(
          id,
          {Outcome("a@example.org", DeliveryVerdict::kDelivered, "250 ok"),
           Outcome("b@example.org", DeliveryVerdict::kDelivered, "250 ok")},
          policy_, t0_, &record)
          .ok());
  EXPECT_TRUE(record.finished);
  EXPECT_FALSE(record.noticed);
  EXPECT_EQ(record.changed.size(), 2u);
  EXPECT_EQ(FolderOf(id), "Sent Items");
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(id, &m));
  EXPECT_EQ(m.submit_time_ms, t0_);
  EXPECT_EQ(device::ListMessages("E-mail", "Inbox").size(), 0u);
}

TEST_F(DeliveriesTest, DeferredRecipientsReturnOnScheduleDeliveredOnesNever) {
  const int64_t id =
      SaveMail({u"a@example.org", u"b@example.org", u"c@example.org"});
  ASSERT_EQ(mail::ClaimDelivery(Candidate(t0_), t0_)->result,
            ClaimResult::kClaimed);
  mail::DeliveryRecord record;
  ASSERT_TRUE(
      mail::RecordDelivery(
          id,
          {Outcome("a@example.org", DeliveryVerdict::kDelivered, "250 ok"),
           Outcome("b@example.org", DeliveryVerdict::kDeferred, "451 later"),
           Outcome("c@example.org", DeliveryVerdict::kDeferred, "451 later")},
          policy_, t0_, &record)
          .ok());
  EXPECT_FALSE(record.finished);
  EXPECT_EQ(FolderOf(id), "Outbox");
  const mail::RecipientDelivery b = State(id, "b@example.org");
  EXPECT_EQ(b.state, DeliveryState::kDeferred);
  EXPECT_EQ(b.due_ms, t0_ + 1000);
  EXPECT_EQ(b.first_deferred_ms, t0_);
  EXPECT_EQ(b.reply, "451 later");

  EXPECT_EQ(DueCount(t0_ + 999), 0u);
  const int64_t t1 = t0_ + 1000;
  const base::StatusOr<mail::DeliveryClaim> again =
      mail::ClaimDelivery(Candidate(t1), t1);
  ASSERT_TRUE(again.ok()) << again.status().message();
  ASSERT_EQ(again->result, ClaimResult::kClaimed);
  EXPECT_EQ(again->recipients,
            (std::vector<std::string>{"b@example.org", "c@example.org"}));
  ASSERT_TRUE(
      mail::RecordDelivery(
          id,
          {Outcome("b@example.org", DeliveryVerdict::kDelivered, "250 ok"),
           Outcome("c@example.org", DeliveryVerdict::kDeferred, "451 later")},
          policy_, t1, &record)
          .ok());
  // The second pause is twice the first; deferred again for the same
  // reason is no change worth a line.
  EXPECT_EQ(State(id, "c@example.org").due_ms, t1 + 2000);
  EXPECT_EQ(State(id, "c@example.org").attempts, 2);
  ASSERT_EQ(record.changed.size(), 1u);
  EXPECT_EQ(record.changed[0].recipient, "b@example.org");
  EXPECT_EQ(State(id, "a@example.org").attempts, 1);  // never tried again

  EXPECT_EQ(mail::RetryDelayMs(1, 60000), 60000);
  EXPECT_EQ(mail::RetryDelayMs(2, 60000), 120000);
  EXPECT_EQ(mail::RetryDelayMs(6, 60000), 1920000);
  EXPECT_EQ(mail::RetryDelayMs(7, 60000), mail::kMaxRetryDelayMs);
  EXPECT_EQ(mail::RetryDelayMs(100000, 60000), mail::kMaxRetryDelayMs);
}

TEST_F(DeliveriesTest, GivingUpAndRefusalsFailWithANoticeInTheInbox) {
  const int64_t id =
      SaveMail({u"a@example.org", u"b@example.org", u"c@example.org"});
  ASSERT_EQ(mail::ClaimDelivery(Candidate(t0_), t0_)->result,
            ClaimResult::kClaimed);
  ASSERT_TRUE(
      mail::RecordDelivery(
          id,
          {Outcome("a@example.org", DeliveryVerdict::kDelivered, "250 ok"),
           Outcome("b@example.org", DeliveryVerdict::kFailed,
                   "550 5.1.1 no such user"),
           Outcome("c@example.org", DeliveryVerdict::kDeferred, "451 later")},
          policy_, t0_, nullptr)
          .ok());
  // Still deferred past the give-up time at its next try: failed.
  const int64_t late = t0_ + 10000;
  ASSERT_EQ(mail::ClaimDelivery(Candidate(late), late)->result,
            ClaimResult::kClaimed);
  mail::DeliveryRecord record;
  ASSERT_TRUE(
      mail::RecordDelivery(
          id,
          {Outcome("c@example.org", DeliveryVerdict::kDeferred, "421 busy")},
          policy_, late, &record)
          .ok());
  EXPECT_EQ(State(id, "c@example.org").state, DeliveryState::kFailed);
  EXPECT_NE(State(id, "c@example.org").reply.find("421 busy"),
            std::string::npos);
  EXPECT_TRUE(record.finished);
  EXPECT_TRUE(record.noticed);
  EXPECT_EQ(FolderOf(id), "Sent Items");
  const std::vector<device::ServiceMessage> inbox =
      device::ListMessages("E-mail", "Inbox");
  ASSERT_EQ(inbox.size(), 1u);
  EXPECT_EQ(inbox[0].subject, u"Undelivered mail: Lunch");
  EXPECT_EQ(inbox[0].sender_name, u"Mail delivery");
  const std::u16string& text = inbox[0].body;
  EXPECT_NE(text.find(u"b@example.org\n    550 5.1.1 no such user"),
            std::u16string::npos);
  EXPECT_NE(text.find(u"c@example.org"), std::u16string::npos);
  EXPECT_NE(text.find(u"delivered to: a@example.org"), std::u16string::npos);
}

TEST_F(DeliveriesTest, TheGateRulesEveryClaim) {
  const int64_t id = SaveMail({u"a@example.org", u"b@example.org"});
  // Held after the gate read the Outbox: not handed over.
  mail::DeliveryCandidate seen = Candidate(t0_);
  testing_support::ServiceExec(
      "UPDATE messages SET folder = (SELECT f.id FROM folders f JOIN folders o "
      "ON o.store = f.store WHERE f.kind = 4 AND o.id = messages.folder) "
      "WHERE id = " +
      std::to_string(id) + ";");
  EXPECT_EQ(mail::ClaimDelivery(seen, t0_)->result, ClaimResult::kGone);
  EXPECT_TRUE(mail::DeliveryStates(id).empty());
  EXPECT_EQ(DueCount(t0_), 0u);
  // Back in the Outbox it is a new arrival, judged anew: that one goes.
  testing_support::ServiceExec(
      "UPDATE messages SET folder = (SELECT f.id FROM folders f JOIN folders d "
      "ON d.store = f.store WHERE f.kind = 2 AND d.id = messages.folder) "
      "WHERE id = " +
      std::to_string(id) + ";");
  seen = Candidate(t0_);
  // Recipients changed after the gate read them: not handed over either.
  const base::Status set =
      device::SetMessageRecipients(id, {u"a@example.org", u"d@example.org"});
  ASSERT_TRUE(set.ok()) << set.message();
  EXPECT_EQ(mail::ClaimDelivery(seen, t0_)->result, ClaimResult::kGone);
  // Read again, the recipients at the claim are the ones delivered to.
  const base::StatusOr<mail::DeliveryClaim> claim =
      mail::ClaimDelivery(Candidate(t0_), t0_);
  ASSERT_TRUE(claim.ok()) << claim.status().message();
  ASSERT_EQ(claim->result, ClaimResult::kClaimed);
  EXPECT_EQ(claim->recipients,
            (std::vector<std::string>{"a@example.org", "d@example.org"}));
}

TEST_F(DeliveriesTest, AnOutcomeAndTheNextClaimAreOneCommit) {
  const int64_t first = SaveMail({u"a@example.org"});
  const int64_t second = SaveMail({u"b@example.org"});
  const base::StatusOr<std::vector<mail::DeliveryCandidate>> due =
      mail::DueDeliveries("E-mail", 0, t0_);
  ASSERT_TRUE(due.ok()) << due.status().message();
  ASSERT_EQ(due->size(), 2u);
  ASSERT_EQ(mail::ClaimDelivery((*due)[0], t0_)->result, ClaimResult::kClaimed);
  mail::DeliveryRecord record;
  mail::DeliveryClaim next;
  ASSERT_TRUE(
      mail::RecordDeliveryAndClaim(
          first,
          {Outcome("a@example.org", DeliveryVerdict::kDelivered, "250 ok")},
          policy_, t0_, &record, (*due)[1], &next)
          .ok());
  EXPECT_TRUE(record.finished);
  EXPECT_EQ(FolderOf(first), "Sent Items");
  ASSERT_EQ(next.result, ClaimResult::kClaimed);
  EXPECT_EQ(next.recipients, std::vector<std::string>{"b@example.org"});
  EXPECT_EQ(State(second, "b@example.org").state, DeliveryState::kSending);

  // A next message no longer as the gate saw it is not claimed; the
  // outcome is kept all the same.
  testing_support::ServiceExec(
      "UPDATE messages SET folder = (SELECT f.id FROM folders f JOIN folders o "
      "ON o.store = f.store WHERE f.kind = 4 AND o.id = messages.folder) "
      "WHERE id = " +
      std::to_string(first) + " OR id = " + std::to_string(second) + ";");
  const int64_t third = SaveMail({u"c@example.org"});
  const base::StatusOr<std::vector<mail::DeliveryCandidate>> later =
      mail::DueDeliveries("E-mail", 0, t0_);
  ASSERT_TRUE(later.ok()) << later.status().message();
  ASSERT_EQ(later->size(), 1u);
  testing_support::ServiceExec(
      "DELETE FROM messages WHERE id = " + std::to_string(third) + ";");
  ASSERT_TRUE(
      mail::RecordDeliveryAndClaim(
          second,
          {Outcome("b@example.org", DeliveryVerdict::kDeferred, "451 later")},
          policy_, t0_, &record, (*later)[0], &next)
          .ok());
  EXPECT_EQ(next.result, ClaimResult::kGone);
  EXPECT_EQ(State(second, "b@example.org").state, DeliveryState::kDeferred);
}

TEST_F(DeliveriesTest, StepsOfSeveralConnectionsShareOneCommitOrNoneIsKept) {
  std::vector<int64_t> ids;
  for (const char16_t* to :
       {u"a@example.org", u"b@example.org", u"c@example.org", u"d@example.org"})
    ids.push_back(SaveMail({to}));
  const base::StatusOr<std::vector<mail::DeliveryCandidate>> due =
      mail::DueDeliveries("E-mail", 0, t0_);
  ASSERT_TRUE(due.ok()) << due.status().message();
  ASSERT_EQ(due->size(), 4u);
  // Two connections under way, each with its outcome and its next message;
  // a third takes the first message again, finished in the same commit.
  ASSERT_EQ(mail::ClaimDelivery((*due)[0], t0_)->result, ClaimResult::kClaimed);
  ASSERT_EQ(mail::ClaimDelivery((*due)[1], t0_)->result, ClaimResult::kClaimed);
  std::vector<mail::DeliveryStep> steps(3);
  steps[0].message = ids[0];
  steps[0].outcomes = {
      Outcome("a@example.org", DeliveryVerdict::kDelivered, "250 ok")};
  steps[0].next = (*due)[2];
  steps[1].message = ids[1];
  steps[1].outcomes = {
      Outcome("b@example.org", DeliveryVerdict::kDeferred, "451 later")};
  steps[1].next = (*due)[3];
  steps[2].next = (*due)[0];

  // One step cannot be written: none is kept.
  testing_support::ServiceExec(
      "CREATE TRIGGER refuse BEFORE UPDATE ON deliveries WHEN OLD.message = " +
      std::to_string(ids[1]) + " BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  EXPECT_FALSE(mail::CommitDeliverySteps(&steps, policy_, t0_).ok());
  EXPECT_EQ(State(ids[0], "a@example.org").state, DeliveryState::kSending);
  EXPECT_EQ(FolderOf(ids[0]), "Outbox");
  EXPECT_TRUE(mail::DeliveryStates(ids[2]).empty());
  EXPECT_EQ(steps[0].claim.result, ClaimResult::kNotDue);

  // Tried again, all of it is kept in one commit.
  testing_support::ServiceExec("DROP TRIGGER refuse;");
  ASSERT_TRUE(mail::CommitDeliverySteps(&steps, policy_, t0_).ok());
  EXPECT_TRUE(steps[0].record.finished);
  EXPECT_EQ(FolderOf(ids[0]), "Sent Items");
  EXPECT_EQ(State(ids[1], "b@example.org").state, DeliveryState::kDeferred);
  EXPECT_EQ(steps[1].record.changed.size(), 1u);
  ASSERT_EQ(steps[0].claim.result, ClaimResult::kClaimed);
  EXPECT_EQ(steps[0].claim.recipients,
            std::vector<std::string>{"c@example.org"});
  EXPECT_EQ(steps[1].claim.result, ClaimResult::kClaimed);
  EXPECT_EQ(State(ids[3], "d@example.org").state, DeliveryState::kSending);
  EXPECT_EQ(steps[2].claim.result, ClaimResult::kGone);
}

TEST_F(DeliveriesTest, InterruptedDeliveriesAreWaitingAgainAndHeldOnesFinish) {
  const int64_t id = SaveMail({u"a@example.org", u"b@example.org"});
  ASSERT_EQ(mail::ClaimDelivery(Candidate(t0_), t0_)->result,
            ClaimResult::kClaimed);
  // The delivering process died: its rows are waiting again.
  const base::StatusOr<int> reset = mail::ResetInterruptedDeliveries();
  ASSERT_TRUE(reset.ok()) << reset.status().message();
  EXPECT_EQ(*reset, 2);
  EXPECT_EQ(State(id, "b@example.org").state, DeliveryState::kWaiting);
  ASSERT_EQ(mail::ClaimDelivery(Candidate(t0_), t0_)->result,
            ClaimResult::kClaimed);
  EXPECT_EQ(State(id, "b@example.org").attempts, 2);

  // Held while the relay took it: delivered, but it stays where the filter
  // put it ...
  const std::string id_text = std::to_string(id);
  testing_support::ServiceExec(
      "UPDATE messages SET folder = (SELECT f.id FROM folders f JOIN folders o "
      "ON o.store = f.store WHERE f.kind = 4 AND o.id = messages.folder) "
      "WHERE id = " +
      id_text + ";");
  mail::DeliveryRecord record;
  ASSERT_TRUE(
      mail::RecordDelivery(
          id,
          {Outcome("a@example.org", DeliveryVerdict::kDelivered, "250 ok"),
           Outcome("b@example.org", DeliveryVerdict::kDelivered, "250 ok")},
          policy_, t0_, &record)
          .ok());
  EXPECT_FALSE(record.finished);
  EXPECT_EQ(FolderOf(id), "Drafts");
  // ... and when it comes back it is finished, nobody sent it twice.
  testing_support::ServiceExec(
      "UPDATE messages SET folder = (SELECT f.id FROM folders f JOIN folders d "
      "ON d.store = f.store WHERE f.kind = 2 AND d.id = messages.folder) "
      "WHERE id = " +
      id_text + ";");
  EXPECT_EQ(mail::ClaimDelivery(Candidate(t0_), t0_)->result,
            ClaimResult::kFinished);
  EXPECT_EQ(FolderOf(id), "Sent Items");
  EXPECT_EQ(State(id, "a@example.org").attempts, 2);
}

}  // namespace
