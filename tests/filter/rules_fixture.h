// A device image with an empty rules table, shared by the rule-table tests.
#ifndef TARNVEX_TESTS_FILTER_RULES_FIXTURE_H_
#define TARNVEX_TESTS_FILTER_RULES_FIXTURE_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "filter/rule_table.h"
#include "storage/locations.h"
#include "storage/rules_db.h"
#include "tests/support/temp_image.h"

namespace testing_support {

inline constexpr char16_t kRulesFile[] =
    u"\\Program Files\\Tarnvex\\dba\\Rules_0.db";

class RulesFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseRulesDb();
    ResetRuleTable();
    storage::ResetLocations();
    image_ = std::make_unique<TempImage>();
    image_->WriteFile(u"\\Program Files\\Tarnvex\\dba\\Tarnvex_0.db", "");
    std::string path, table;
    ASSERT_TRUE(GetMessageDbPath(&path, &table));
    CreateRulesTable();
  }
  void TearDown() override {
    CloseRulesDb();
    ResetRuleTable();
    storage::ResetLocations();
  }
  ~RulesFixture() override { sqlite3_close(peek_); }

  // A connection of the test's own on the rules file.
  sqlite3* Peek() {
    if (peek_ == nullptr) {
      EXPECT_EQ(SQLITE_OK,
                sqlite3_open(image_->Host(kRulesFile).c_str(), &peek_));
      sqlite3_busy_timeout(peek_, 2000);
    }
    return peek_;
  }
  void PeekExec(const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(SQLITE_OK,
              sqlite3_exec(Peek(), sql.c_str(), nullptr, nullptr, &error))
        << error;
  }
  int RowCount() {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(Peek(), "SELECT COUNT(*) FROM Rules", -1, &stmt,
                       nullptr);
    int n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return n;
  }
  // Rows 1..n with recipients "r<id>" written in one transaction.
  void InsertRules(int n) {
    std::string sql = "BEGIN;";
    for (int id = 1; id <= n; ++id) {
      sql += "INSERT INTO Rules VALUES (" + std::to_string(id) + ", 's" +
             std::to_string(id) + "', 'r" + std::to_string(id) + "', 'm" +
             std::to_string(id) + "', 'm" + std::to_string(id) + " ', 90);";
    }
    PeekExec(sql + "COMMIT;");
  }

  std::unique_ptr<TempImage> image_;
  sqlite3* peek_ = nullptr;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_FILTER_RULES_FIXTURE_H_
