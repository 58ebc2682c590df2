// The rule table loaded from a real rules database, recipient matching, and
// the table's part in adding and deleting rules.
#include "filter/rule_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "storage/rules_db.h"
#include "storage/statement.h"
#include "tests/filter/rules_fixture.h"

namespace {

using testing_support::RulesFixture;

TEST(CopyFieldTest, CutsLongTextsAndNeverWritesPastTheField) {
  struct {
    char field[8];
    char guard[4];
  } s;
  std::memset(&s, 'G', sizeof(s));
  EXPECT_TRUE(CopyField(s.field, "1234567"));
  EXPECT_STREQ("1234567", s.field);
  EXPECT_FALSE(CopyField(s.field, "123456789abc"));
  EXPECT_STREQ("1234567", s.field);
  EXPECT_EQ(0, std::memcmp(s.guard, "GGGG", 4));
  EXPECT_TRUE(CopyField(s.field, ""));
  EXPECT_STREQ("", s.field);
}

TEST(TokensContainedTest, EveryTokenMustBeASubstringIgnoringCase) {
  EXPECT_TRUE(TokensContained("555", "15550"));
  EXPECT_TRUE(TokensContained("ANNA", "anna; carl, dora"));
  EXPECT_TRUE(TokensContained("carl,ANNA;;Dora", "anna; carl, dora"));
  // Two tokens may be found in the same place, but none may be missing.
  EXPECT_TRUE(TokensContained("ann, an", "ann"));
  EXPECT_FALSE(TokensContained("ann; bert", "ann"));
  EXPECT_FALSE(TokensContained("5551", "555"));
  // Only A-Z fold: 0xC4 and 0xE4 stay different letters.
  EXPECT_FALSE(TokensContained("\xC4nne", "\xE4nne"));
  EXPECT_TRUE(TokensContained("ANNE", "anne"));
}

TEST(TokensContainedTest, ATokenlessCandidateIsAlwaysCovered) {
  EXPECT_TRUE(TokensContained("", "anything"));
  EXPECT_TRUE(TokensContained(" ,; ;, ", ""));
  EXPECT_TRUE(TokensContained(nullptr, nullptr));
  EXPECT_FALSE(TokensContained("a", ""));
}

TEST(TokensContainedTest, BothTextsAreReadWhole) {
  const std::string hay = std::string(255, 'x') + "tail";
  EXPECT_TRUE(TokensContained("tail", hay.c_str()));
  // A long candidate is judged whole: its last address is still checked.
  const std::string needles = std::string(300, 'x') + ", zed";
  EXPECT_FALSE(
      TokensContained(needles.c_str(), (std::string(300, 'x')).c_str()));
}

class RuleTableTest : public RulesFixture {};

TEST_F(RuleTableTest, LoadsEveryColumnAndKeepsLongTextsWhole) {
  const std::string long_sender(300, 's');
  PeekExec("INSERT INTO Rules VALUES (3, '" + long_sender +
           "', 'anna; carl', 'Hello World', 'hello world ', 75);"
           "INSERT INTO Rules VALUES (9, NULL, NULL, NULL, NULL, NULL);");
  ASSERT_TRUE(LoadRules());
  ASSERT_EQ(2, RuleCount());
  std::string sender, recipients, message;
  float certainty = 0;
  int32_t id = 0;
  ASSERT_TRUE(GetRule(0, &sender, &recipients, &message, &certainty, &id));
  EXPECT_EQ(long_sender, sender);
  EXPECT_EQ("anna; carl", recipients);
  EXPECT_EQ("Hello World", message);
  EXPECT_EQ(75.0f, certainty);
  EXPECT_EQ(3, id);
  ASSERT_TRUE(GetRule(1, &sender, &recipients, &message, &certainty, &id));
  EXPECT_EQ("", sender);
  EXPECT_EQ("", recipients);
  EXPECT_EQ("", message);
  EXPECT_EQ(0.0f, certainty);
  EXPECT_EQ(9, id);
  EXPECT_FALSE(GetRule(2, &sender, &recipients, &message, &certainty, &id));
  EXPECT_FALSE(GetRule(-1, &sender, &recipients, &message, &certainty, &id));
}

TEST_F(RuleTableTest, SixHundredRowsLoadTheFirst512InOrder) {
  InsertRules(600);
  ASSERT_TRUE(LoadRules());
  ASSERT_EQ(kMaxRules, RuleCount());
  int32_t id = 0;
  ASSERT_TRUE(GetRule(0, nullptr, nullptr, nullptr, nullptr, &id));
  EXPECT_EQ(1, id);
  ASSERT_TRUE(GetRule(511, nullptr, nullptr, nullptr, nullptr, &id));
  EXPECT_EQ(512, id);
}

TEST_F(RuleTableTest, AReloadReplacesTheTable) {
  InsertRules(5);
  ASSERT_TRUE(LoadRules());
  PeekExec("DELETE FROM Rules WHERE Id > 2;");
  ASSERT_TRUE(LoadRules());
  EXPECT_EQ(2, RuleCount());
}

TEST_F(RuleTableTest, TheGenerationChangesExactlyWhenTheJudgementMay) {
  PeekExec(
      "INSERT INTO Rules VALUES (1, 'Ann', 'r1', 'Hi', 'hi ', 90);"
      "INSERT INTO Rules VALUES (2, 'Bob', 'r2', 'Yo', 'yo ', 90);");
  const uint64_t empty = RuleGeneration();
  ASSERT_TRUE(LoadRules());
  const uint64_t loaded = RuleGeneration();
  EXPECT_NE(loaded, empty);
  // The same rules again, and texts the match never reads changed: the same
  // judgement, the same generation.
  ASSERT_TRUE(LoadRules());
  PeekExec("UPDATE Rules SET Sender = 'Carl', Message = 'other' WHERE Id = 1;");
  ASSERT_TRUE(LoadRules());
  EXPECT_EQ(RuleGeneration(), loaded);
  // Another Recipients text, another order, a removal, an empty table.
  PeekExec("UPDATE Rules SET Recipients = 'r3' WHERE Id = 2;");
  ASSERT_TRUE(LoadRules());
  const uint64_t changed = RuleGeneration();
  EXPECT_NE(changed, loaded);
  PeekExec(
      "DELETE FROM Rules WHERE Id = 1;"
      "INSERT INTO Rules VALUES (1, 'Ann', 'r1', 'Hi', 'hi ', 90);");
  ASSERT_TRUE(LoadRules());  // r3 before r1 now
  const uint64_t reordered = RuleGeneration();
  EXPECT_NE(reordered, changed);
  ASSERT_TRUE(RemoveRule("Bob", "r3", "Yo"));
  const uint64_t removed = RuleGeneration();
  EXPECT_NE(removed, reordered);
  ResetRuleTable();
  EXPECT_NE(RuleGeneration(), removed);
}

TEST_F(RuleTableTest, AFailedLoadLeavesTheTableEmpty) {
  InsertRules(3);
  ASSERT_TRUE(LoadRules());
  PeekExec("DROP TABLE Rules;");
  EXPECT_FALSE(LoadRules());
  EXPECT_EQ(0, RuleCount());
  // Empty because the rules could not be read, which the worker asks.
  EXPECT_TRUE(RulesLoadFailed());
  // The rules connection was dropped, so a later load sees the new table.
  PeekExec(storage::WithTableName(storage::kCreateRulesSql, "Rules"));
  InsertRules(1);
  EXPECT_TRUE(LoadRules());
  EXPECT_EQ(1, RuleCount());
  EXPECT_FALSE(RulesLoadFailed());
}

TEST_F(RuleTableTest, TheFirstCoveringRuleGivesTheId) {
  PeekExec(
      "INSERT INTO Rules VALUES (4, 'a', '0170 1234', 'm', 'm ', 90);"
      "INSERT INTO Rules VALUES (2, 'a', 'anna; carl, dora', 'm', 'm ', 90);"
      "INSERT INTO Rules VALUES (7, 'a', 'carl, anna', 'm', 'm ', 90);"
      "INSERT INTO Rules VALUES (8, 'a', '', 'm', 'm ', 90);");
  int32_t matched = -5, rule_id = -5;
  // Loaded on demand by the first match.
  EXPECT_EQ(1, MatchRecipientText("CARL;anna", &matched, &rule_id));
  EXPECT_EQ(4, RuleCount());
  EXPECT_EQ(1, matched);
  EXPECT_EQ(2, rule_id);

  RuleRecord candidate;
  candidate.Sender = "1234";
  EXPECT_EQ(1, MatchRecipients(candidate, &matched, &rule_id));
  EXPECT_EQ(4, rule_id);

  candidate.Sender = "anna, bert";
  EXPECT_EQ(0, MatchRecipients(candidate, &matched, &rule_id));
  EXPECT_EQ(0, matched);
  EXPECT_EQ(-1, rule_id);

  // No tokens: the first rule covers it; the rule with empty recipients
  // covers nothing else.
  candidate.Sender = " ;, ";
  EXPECT_EQ(1, MatchRecipients(candidate, &matched, &rule_id));
  EXPECT_EQ(4, rule_id);
  PeekExec("DELETE FROM Rules WHERE Id <> 8;");
  ASSERT_TRUE(LoadRules());
  candidate.Sender = "";
  EXPECT_EQ(1, MatchRecipients(candidate, &matched, &rule_id));
  EXPECT_EQ(8, rule_id);
  candidate.Sender = "x";
  EXPECT_EQ(0, MatchRecipients(candidate, &matched, &rule_id));
}

TEST_F(RuleTableTest, NoRulesAtAllLeavesTheCallersValues) {
  int32_t matched = 7, rule_id = 42;
  RuleRecord candidate;
  EXPECT_EQ(0, MatchRecipients(candidate, &matched, &rule_id));
  EXPECT_EQ(7, matched);
  EXPECT_EQ(42, rule_id);
  // A rule added to the database is picked up by the next match.
  InsertRules(1);
  candidate.Sender = "R1";
  EXPECT_EQ(1, MatchRecipients(candidate, &matched, &rule_id));
  EXPECT_EQ(1, rule_id);
}

TEST_F(RuleTableTest, ALongCandidateIsJudgedByAllItsAddresses) {
  InsertRules(1);  // recipients "r1"
  std::string many;
  while (many.size() < 300) many += "r1, ";
  int32_t matched = 0, rule_id = 0;
  EXPECT_EQ(1, MatchRecipientText(many, &matched, &rule_id));
  EXPECT_EQ(0, MatchRecipientText(many + "stranger", &matched, &rule_id));
}

TEST_F(RuleTableTest, RemoveTakesTheFirstEqualRuleIgnoringCase) {
  PeekExec(
      "INSERT INTO Rules VALUES (1, 'Ann', 'r1', 'Hi', 'hi ', 90);"
      "INSERT INTO Rules VALUES (2, 'Bob', 'r2', 'Yo', 'yo ', 90);"
      "INSERT INTO Rules VALUES (3, 'Bob', 'r2', 'Yo', 'yo ', 90);"
      "INSERT INTO Rules VALUES (4, 'Cid', 'r4', 'Ok', 'ok ', 90);");
  ASSERT_TRUE(LoadRules());
  EXPECT_FALSE(RemoveRule("Bob", "r2", "Yo!"));
  EXPECT_EQ(4, RuleCount());
  EXPECT_TRUE(RemoveRule("BOB", "R2", "yo"));
  ASSERT_EQ(3, RuleCount());
  int32_t ids[3];
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(GetRule(i, nullptr, nullptr, nullptr, nullptr, &ids[i]));
  EXPECT_EQ(1, ids[0]);
  EXPECT_EQ(3, ids[1]);
  EXPECT_EQ(4, ids[2]);
  EXPECT_TRUE(RemoveRule("cid", "r4", "ok"));
  EXPECT_TRUE(RemoveRule("ann", "r1", "hi"));
  EXPECT_EQ(1, RuleCount());
  int32_t matched = 0, rule_id = 0;
  EXPECT_EQ(1, MatchRecipientText("r2", &matched, &rule_id));
  EXPECT_EQ(3, rule_id);
}

TEST_F(RuleTableTest, ALongRuleDeletedWithTheTextsItHandsOutIsGoneEverywhere) {
  // Recipients past 255 characters: the number the user cares about is last.
  std::string recipients;
  for (int i = 0; i < 40; ++i)
    recipients += "555010" + std::to_string(i % 10) + ", ";
  recipients += "5550199";
  const std::string sender(300, 'S');
  PeekExec("INSERT INTO Rules VALUES (1, '" + sender + "', '" + recipients +
           "', 'm', 'm ', 90);");
  ASSERT_TRUE(LoadRules());
  int32_t matched = 0, rule_id = 0;
  EXPECT_EQ(1, MatchRecipientText("5550199", &matched, &rule_id));

  std::string got_sender, got_recipients, got_message;
  ASSERT_TRUE(
      GetRule(0, &got_sender, &got_recipients, &got_message, nullptr, nullptr));
  EXPECT_TRUE(DeleteRule(got_sender.c_str(), got_recipients.c_str(),
                         got_message.c_str())
                  .ok());
  EXPECT_EQ(0, RowCount());
  EXPECT_EQ(0, RuleCount());
  ASSERT_TRUE(LoadRules());  // and it does not come back
  EXPECT_EQ(0, RuleCount());
  EXPECT_EQ(0, MatchRecipientText("5550199", &matched, &rule_id));
}

TEST_F(RuleTableTest, WithAFullTableANewRuleIsRefusedAnExistingOneUpdated) {
  InsertRules(kMaxRules);
  ASSERT_TRUE(LoadRules());
  ASSERT_EQ(kMaxRules, RuleCount());
  EXPECT_FALSE(AddRule("new", "new", "new", 90.0f).ok());
  EXPECT_EQ(kMaxRules, RowCount());
  EXPECT_TRUE(AddRule("s7", "r7", "M7!", 60.0f).ok());
  EXPECT_EQ(kMaxRules, RowCount());
  // After a delete there is room again.
  EXPECT_TRUE(DeleteRule("s1", "r1", "m1").ok());
  EXPECT_EQ(kMaxRules - 1, RuleCount());
  EXPECT_TRUE(AddRule("new", "new", "new", 90.0f).ok());
  EXPECT_EQ(kMaxRules, RowCount());
}

TEST_F(RuleTableTest, AfterADeleteTheTableInMemoryIsWhatTheDatabaseHolds) {
  PeekExec(
      "INSERT INTO Rules VALUES (1, 'O Neil', 'r1', 'don t', 'don t ', 90);");
  ASSERT_TRUE(LoadRules());
  ASSERT_EQ(1, RuleCount());
  EXPECT_TRUE(DeleteRule("nobody", "r1", "don t").ok());  // absent: success
  EXPECT_EQ(1, RuleCount());
  // Texts in another letter case name no row: the rule stays in both places
  // (dropped from memory only, it would come back at the next load).
  EXPECT_TRUE(DeleteRule("O NEIL", "R1", "DON T").ok());
  EXPECT_EQ(1, RowCount());
  EXPECT_EQ(1, RuleCount());
  // Typed with the apostrophe, the stored blanked rule is deleted.
  EXPECT_TRUE(DeleteRule("O'Neil", "r1", "don't").ok());
  EXPECT_EQ(0, RowCount());
  EXPECT_EQ(0, RuleCount());
  // A database that cannot be read leaves an empty table, which holds
  // every message until the rules load again.
  PeekExec("INSERT INTO Rules VALUES (2, 's', 'r2', 'm', 'm ', 90);");
  ASSERT_TRUE(LoadRules());
  PeekExec("ALTER TABLE Rules RENAME TO Gone;");
  EXPECT_FALSE(DeleteRule("s", "r2", "m").ok());
  EXPECT_EQ(0, RuleCount());
  int32_t matched = 0, rule_id = 0;
  EXPECT_EQ(0, MatchRecipientText("r2", &matched, &rule_id));
}

}  // namespace
