// Matching on one thread while another reloads and removes rules: every match
// must see a whole table, old or new.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "filter/rule_table.h"
#include "storage/rules_db.h"
#include "tests/filter/rules_fixture.h"

namespace {

using testing_support::RulesFixture;

class RuleTableThreadsTest : public RulesFixture {};

TEST_F(RuleTableThreadsTest, MatchesSeeWholeTablesWhileRulesAreReloaded) {
  // Every rule covers "shared"; only rule 1 covers "only1"; none covers
  // "stranger". Rule 1 is never removed, so a whole table always has it.
  std::string sql = "BEGIN;";
  for (int id = 1; id <= 64; ++id) {
    sql += "INSERT INTO Rules VALUES (" + std::to_string(id) + ", 's" +
           std::to_string(id) + "', 'shared " + (id == 1 ? "only1" : "x") +
           "', 'm" + std::to_string(id) + "', 'm ', 90);";
  }
  PeekExec(sql + "COMMIT;");
  ASSERT_TRUE(LoadRules());

  std::atomic<bool> stop{false};
  std::atomic<long> matches{0};
  std::atomic<long> wrong{0};
  auto matcher = [&] {
    RuleRecord candidate;
    while (!stop.load()) {
      int32_t matched = 0, rule_id = 0;
      candidate.Sender = "SHARED";
      if (MatchRecipients(candidate, &matched, &rule_id) != 1 || matched != 1 ||
          rule_id < 1 || rule_id > 64) {
        ++wrong;
      }
      if (MatchRecipientText("only1; shared", &matched, &rule_id) != 1 ||
          rule_id != 1) {
        ++wrong;
      }
      if (MatchRecipientText("stranger", &matched, &rule_id) != 0 ||
          matched != 0 || rule_id != -1) {
        ++wrong;
      }
      ++matches;
    }
  };
  auto reader = [&] {
    while (!stop.load()) {
      const int32_t n = RuleCount();
      std::string sender, recipients, message;
      float certainty;
      int32_t id;
      // The table may shrink between the count and the read; that is a
      // refusal, never a stale record.
      if (n > 0 &&
          GetRule(n - 1, &sender, &recipients, &message, &certainty, &id) &&
          recipients.rfind("shared ", 0) != 0) {
        ++wrong;
      }
    }
  };

  std::thread a(matcher), b(matcher), c(reader);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  int reloads = 0;
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_TRUE(LoadRules());
    for (int id = 64; id > 40; id -= 3) {
      RemoveRule(("s" + std::to_string(id)).c_str(), "shared x",
                 ("m" + std::to_string(id)).c_str());
    }
    ++reloads;
  }
  stop = true;
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_GT(matches.load(), 0);
  EXPECT_GT(reloads, 0);
}

TEST_F(RuleTableThreadsTest,
       MatchesStartingOnAnEmptyTableAllFindTheLoadedRule) {
  PeekExec("INSERT INTO Rules VALUES (5, 's', 'anna', 'm', 'm ', 90);");
  std::atomic<int> wrong{0};
  auto matcher = [&] {
    for (int i = 0; i < 200; ++i) {
      int32_t matched = 0, rule_id = 0;
      if (MatchRecipientText("ANNA", &matched, &rule_id) != 1 || rule_id != 5)
        ++wrong;
    }
  };
  std::thread a(matcher), b(matcher), c(matcher);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(0, wrong.load());
}

}  // namespace
