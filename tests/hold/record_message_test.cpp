// The judgement and recording of a held message over real databases: every
// case of the classification, the one judgement of recipients, and the
// cases that must keep a message held.
#include "hold/record_message.h"

#include <gtest/gtest.h>

#include <string>

#include "filter/classify.h"
#include "storage/message_db.h"
#include "tests/filter/rules_fixture.h"

namespace {

using testing_support::RulesFixture;

class ClassifyTest : public RulesFixture {
 protected:
  void SetUp() override {
    RulesFixture::SetUp();
    PrepareStoreDb("SMS");
    PrepareStoreDb("E-mail");
    PeekExec("INSERT INTO Rules VALUES (7, 'Anna', '5550199', 'm', 'm ', 90);");
    ASSERT_TRUE(LoadRules());
  }

  ClassifyTexts Texts(const std::string& recipients,
                      const std::string& store = "SMS") {
    ClassifyTexts texts;
    texts.store_name = store;
    texts.sender = "Anna";
    texts.recipients = StoreRecipientsText(store, recipients);
    texts.recipients_read.text = recipients;
    texts.subject = "Hello";
    texts.body = "See you";
    texts.lowered_body = "see you";
    texts.token_text = "hello see you ";
    texts.received_date = "Monday, 7 December 2026";
    texts.received_time = "18:00:00";
    return texts;
  }

  // Classifies and tells whether the message was released.
  bool Classify(bool is_new, int32_t stored, const ClassifyTexts& texts,
                int32_t* new_status = nullptr) {
    bool released = false;
    int32_t status =
        ClassifyMessage(is_new, stored, texts, [&] { released = true; });
    if (new_status != nullptr) *new_status = status;
    return released;
  }

  // The stored status of the message, or -1 when it has no record.
  int32_t Stored(const ClassifyTexts& t) {
    bool found = false;
    int32_t id = 0, status = -1;
    std::string tokens;
    MAPIExists(t.store_name.c_str(), t.body.c_str(), t.sender.c_str(),
               t.recipients.c_str(), t.subject.c_str(), &found, &id, &status,
               &tokens);
    return found ? status : -1;
  }
};

TEST_F(ClassifyTest, EveryCaseOfTheTable) {
  const ClassifyTexts covered = Texts("5550199");
  const ClassifyTexts uncovered = Texts("5550111");
  int32_t status = -1;

  // new, no rule matches: recorded 0, stays held
  EXPECT_FALSE(Classify(true, 0, uncovered, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Stored(uncovered), 0);
  // known 0, no rule matches: unchanged, stays held
  EXPECT_FALSE(Classify(false, 0, uncovered));
  EXPECT_EQ(Stored(uncovered), 0);
  EXPECT_EQ(MaxStoreMsgId("SMS"), 1);

  // new, a rule matches: recorded 1, released
  EXPECT_TRUE(Classify(true, 0, covered, &status));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Stored(covered), 1);
  // known 1, a rule matches: unchanged, released again
  EXPECT_TRUE(Classify(false, 1, covered));
  EXPECT_EQ(Stored(covered), 1);
  EXPECT_EQ(MaxStoreMsgId("SMS"), 2);

  // known 0, a rule matches now: set to 1, released
  PeekExec("INSERT INTO Rules VALUES (8, 'Bert', '5550111', 'm', 'm ', 90);");
  ASSERT_TRUE(LoadRules());
  EXPECT_TRUE(Classify(false, 0, uncovered, &status));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Stored(uncovered), 1);

  // known 1, no rule matches any more: set to 0 and kept held, so that it
  // does not go back and forth between the held folder and the Outbox
  PeekExec("DELETE FROM Rules WHERE Id = 8;");
  ASSERT_TRUE(LoadRules());
  EXPECT_FALSE(Classify(false, 1, uncovered, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Stored(uncovered), 0);
  EXPECT_EQ(MaxStoreMsgId("SMS"), 2);
}

TEST_F(ClassifyTest, HeldAgainOrNotReadWholeIsNeverReleased) {
  ClassifyTexts again = Texts("5550199");
  ASSERT_TRUE(Classify(true, 0, again));
  again.held_again = true;
  int32_t status = -1;
  EXPECT_FALSE(Classify(false, 1, again, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Stored(again), 0);

  ClassifyTexts partial = Texts("5550199");
  partial.subject = "Another";
  partial.recipients_read.whole = false;
  EXPECT_FALSE(Classify(true, 0, partial, &status));
  EXPECT_EQ(Stored(partial), 0);
}

TEST_F(ClassifyTest, BlanksAreDroppedForThePhoneStoresOnly) {
  EXPECT_TRUE(IsPhoneStore("sms"));
  EXPECT_TRUE(IsPhoneStore("MmS"));
  EXPECT_FALSE(IsPhoneStore("SMS2"));
  EXPECT_FALSE(IsPhoneStore("E-mail"));

  EXPECT_EQ(StoreRecipientsText("SMS", "555 0199, 555 0111"),
            "5550199,5550111");
  EXPECT_EQ(StoreRecipientsText("E-mail", "Anna Berg <a@b>"),
            "Anna Berg <a@b>");

  // A rule written with the blank, as the editor pre-fills an e-mail's.
  PeekExec("INSERT INTO Rules VALUES (9, 'Bert', '555 0123', 'm', 'm ', 90);");
  ASSERT_TRUE(LoadRules());
  RecipientsRead read{"555 0123", true};
  EXPECT_FALSE(RecipientsCovered("SMS", read));
  EXPECT_TRUE(RecipientsCovered("E-mail", read));
  EXPECT_FALSE(Classify(true, 0, Texts("555 0123", "SMS")));
  EXPECT_TRUE(Classify(true, 0, Texts("555 0123", "E-mail")));
  EXPECT_EQ(Stored(Texts("555 0123", "SMS")), 0);
  EXPECT_EQ(Stored(Texts("555 0123", "E-mail")), 1);
}

TEST_F(ClassifyTest,
       TheWholeTextIsJudgedAndAnEmptyListIsCoveredByTheFirstRule) {
  std::string many;
  for (int i = 0; i < 460; ++i) many += "5550199, ";
  EXPECT_TRUE(RecipientsCovered("SMS", {many + "5550199", true}));
  EXPECT_FALSE(RecipientsCovered("SMS", {many + "5550111", true}));
  int32_t rule_id = 0;
  EXPECT_TRUE(RecipientsCovered("SMS", {"", true}, &rule_id));
  EXPECT_EQ(rule_id, 7);
  EXPECT_FALSE(RecipientsCovered("SMS", {"", false}, &rule_id));
  EXPECT_EQ(rule_id, -1);
}

}  // namespace
