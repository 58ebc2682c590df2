// One judgement of a message's recipients, end to end: what the outgoing
// check holds, the held-folder scan never releases, and what the scan
// releases, the check lets go. Real processes on a temporary device image.
#include "tests/e2e/filter_fixture.h"

namespace {

using testing_support::Eventually;
using testing_support::FilterEndToEndTest;
using testing_support::kSendDelayMs;
using testing_support::Record;

class JudgementTest : public FilterEndToEndTest {
 protected:
  // Sends, waits for the hold and its record, adds a rule with the recorded
  // recipients (what the rules editor pre-fills) and expects one release and
  // one sending, with no move after that and the compose window left alone.
  void ExpectReleasedOnceWithTheRecordedRecipients(const std::string& store,
                                                   int64_t id) {
    ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
    ASSERT_TRUE(Eventually([&] { return Records(store.c_str()).size() == 1; }));
    const Record held = Records(store.c_str())[0];
    EXPECT_EQ(held.status, 0);

    OpenCompose();
    AddCoveringRule(held.recipients.c_str());
    ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(kSendDelayMs * 3));
    EXPECT_EQ(FolderOf(id), "Sent Items");
    // Outbox -> held folder -> Outbox -> Sent Items, and nothing more.
    EXPECT_EQ(MovesOf(id), 3);
    std::vector<Record> records = Records(store.c_str());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].status, 1);
    int status = 0;
    EXPECT_FALSE(compose_.Wait(100, &status)) << "a compose window was closed";
  }
};

TEST_F(JudgementTest,
       AnEmailToANumberWithBlanksIsReleasedByTheRuleTheEditorPrefills) {
  StartHost();
  int64_t id = SendTo("E-mail", {"555 0199"});
  ExpectReleasedOnceWithTheRecordedRecipients("E-mail", id);
  EXPECT_EQ(Records("E-mail")[0].recipients, "555 0199");
}

TEST_F(JudgementTest,
       AnEmailToANamedAddressIsReleasedByTheRuleTheEditorPrefills) {
  StartHost();
  int64_t id = SendTo("E-mail", {"Anna Berg <anna@example.org>"});
  ExpectReleasedOnceWithTheRecordedRecipients("E-mail", id);
}

TEST_F(JudgementTest, RecipientsLongerThanTheRecordAreJudgedWholeAndStayHeld) {
  StartHost();
  AddCoveringRule("5550199");
  std::vector<std::string> to(460, "5550199");
  to.push_back("5550111");  // past the 4095 characters the record keeps
  int64_t id = Send(to);
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  // Later passes (a rules change makes one over every held folder) leave it.
  HostCommand("rules-changed", "ok");
  std::this_thread::sleep_for(std::chrono::milliseconds(kSendDelayMs * 4));
  EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");
  EXPECT_EQ(MovesOf(id), 1);
  std::vector<Record> records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].status, 0);
  // The record keeps what its field holds; the judgement took the whole.
  EXPECT_EQ(records[0].recipients.find("5550111"), std::string::npos);
}

TEST_F(JudgementTest,
       AMessageHeldAgainRightAfterItsReleaseStaysHeldWithStatusZero) {
  StartHost();
  int64_t id = Send({"5550199"});
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));

  // The worker's judgement covers it from now on, the check's does not.
  HostCommand("check-holds-all", "ok");
  OpenCompose();
  AddCoveringRule("5550199");
  ASSERT_TRUE(
      Eventually([&] { return MovesOf(id) == 3; }));  // held, released, held
  ASSERT_TRUE(Eventually([&] { return Records()[0].status == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(kSendDelayMs * 4));
  EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");
  EXPECT_EQ(MovesOf(id), 3);
  EXPECT_EQ(Records().size(), 1u);
  EXPECT_EQ(Records()[0].status, 0);
  int status = 0;
  EXPECT_FALSE(compose_.Wait(100, &status)) << "a compose window was closed";
}

TEST_F(JudgementTest, RecipientsThatCannotBeReadAreHeld) {
  StartHost();
  AddCoveringRule("5550199");
  // Another program writes a message into the Outbox whose recipient list
  // fails part way when it is read: the row after the covered number cannot
  // be read.
  ServiceExec(
      "BEGIN;"
      "INSERT INTO messages (folder, subject, body, delivery_time, flags, "
      "in_folder_since) "
      "SELECT f.id, 'Hello', 'See you', 0, 4, CAST(strftime('%s','now') AS "
      "INTEGER) * 1000 "
      "FROM folders f JOIN stores s ON s.id = f.store WHERE s.name = 'SMS' AND "
      "f.kind = 2;"
      "INSERT INTO recipients (message, position, address) VALUES "
      "(last_insert_rowid(), 0, "
      "'5550199');"
      "INSERT INTO recipients (message, position, address) SELECT MAX(id), 1, "
      "'unreadable' "
      "FROM messages;"
      "ALTER TABLE recipients RENAME COLUMN address TO raw;"
      "ALTER TABLE recipients ADD COLUMN address TEXT GENERATED ALWAYS AS "
      "(CASE WHEN "
      "raw = 'unreadable' THEN abs(-9223372036854775807 - 1) ELSE raw END) "
      "VIRTUAL;"
      "INSERT INTO journal (event, store, kind, object, parent, old_parent) "
      "SELECT 4, "
      "f.store, 77, (SELECT MAX(id) FROM messages), f.id, 0 FROM folders f "
      "JOIN stores s "
      "ON s.id = f.store WHERE s.name = 'SMS' AND f.kind = 2;"
      "COMMIT;");
  const int64_t id = LastMessageId();
  ASSERT_GT(id, 0);
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  EXPECT_EQ(Records()[0].status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(kSendDelayMs * 3));
  EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");
}

TEST_F(JudgementTest, AnAddressWithANulInsideIsHeld) {
  StartHost();
  AddCoveringRule("5550199");
  device::ServiceMessage message;
  message.subject = u"Hello";
  message.body = u"See you";
  message.recipients = {
      std::u16string(u"5550199\0"
                     u"5550111",
                     15)};
  const base::StatusOr<int64_t> saved =
      device::SaveOutgoingMessage("SMS", message);
  ASSERT_TRUE(saved.ok()) << saved.status().message();
  const int64_t id = *saved;
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(kSendDelayMs * 3));
  EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");
}

}  // namespace
