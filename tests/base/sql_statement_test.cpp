// The one statement wrapper: a row, the end and an error are told apart,
// a failed prepare or bind never runs, and columns read back as stored.
#include "base/sql_statement.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <utility>
#include <vector>

namespace {

class SqlStatementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db_, "CREATE TABLE t (a INT, b TEXT, c BLOB);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  void TearDown() override { sqlite3_close(db_); }
  sqlite3* db_ = nullptr;
};

using Result = base::Statement::Result;

TEST_F(SqlStatementTest, RowsThenTheEndThenNothingMore) {
  base::Statement insert(db_, "INSERT INTO t (a, b) VALUES (?, ?);");
  ASSERT_TRUE(insert.ok());
  EXPECT_EQ(insert.Bind(1, int64_t{1} << 40).Bind(2, "x").Exec(), SQLITE_DONE);
  insert.Reset();
  EXPECT_EQ(insert.Bind(1, 7).Bind(2, std::string("it's")).Exec(), SQLITE_DONE);

  base::Statement select(db_, "SELECT a, b FROM t ORDER BY a;");
  ASSERT_EQ(select.Next(), Result::kRow);
  EXPECT_EQ(select.Columns(), 2);
  EXPECT_EQ(select.Int(0), 7);
  EXPECT_EQ(select.Text(1), "it's");
  ASSERT_EQ(select.Next(), Result::kRow);
  EXPECT_EQ(select.Int64(0), int64_t{1} << 40);
  EXPECT_EQ(select.Next(), Result::kDone);
  EXPECT_FALSE(select.failed());
}

TEST_F(SqlStatementTest, AnErrorIsNotTheEnd) {
  // A UNIQUE violation fails the step; the loop that ends there knows it.
  ASSERT_EQ(sqlite3_exec(db_, "CREATE UNIQUE INDEX u ON t (a);", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  base::Statement insert(db_, "INSERT INTO t (a) VALUES (1);");
  EXPECT_EQ(insert.Exec(), SQLITE_DONE);
  insert.Reset();
  EXPECT_EQ(insert.Next(), Result::kError);
  EXPECT_TRUE(insert.failed());
  EXPECT_EQ(insert.rc(), SQLITE_CONSTRAINT);
  EXPECT_FALSE(insert.Step());  // stays failed until reset
}

TEST_F(SqlStatementTest, AFailedPrepareOrBindNeverRuns) {
  base::Statement bad(db_, "SELECT nothing FROM nowhere;");
  EXPECT_FALSE(bad.ok());
  EXPECT_TRUE(bad.failed());
  EXPECT_EQ(bad.Next(), Result::kError);
  EXPECT_NE(bad.Exec(), SQLITE_DONE);

  base::Statement no_db(nullptr, "SELECT 1;");
  EXPECT_TRUE(no_db.failed());

  // Parameter 3 does not exist: the insert must not run with a NULL.
  base::Statement insert(db_, "INSERT INTO t (a, b) VALUES (?, ?);");
  insert.Bind(1, 1).Bind(3, "lost");
  EXPECT_TRUE(insert.failed());
  EXPECT_NE(insert.Exec(), SQLITE_DONE);
  base::Statement count(db_, "SELECT COUNT(*) FROM t;");
  ASSERT_TRUE(count.Step());
  EXPECT_EQ(count.Int(0), 0);
}

TEST_F(SqlStatementTest, EmptyTextIsNotNullAndBlobsReadBack) {
  base::Statement insert(db_, "INSERT INTO t (a, b, c) VALUES (1, ?, ?);");
  insert.Bind(1, std::string_view());
  const std::vector<uint8_t> bytes{0, 1, 2, 255};
  sqlite3_bind_blob(insert.get(), 2, bytes.data(),
                    static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  ASSERT_EQ(insert.Exec(), SQLITE_DONE);

  base::Statement select(db_, "SELECT b IS NULL, b, c, NULL FROM t;");
  ASSERT_TRUE(select.Step());
  EXPECT_EQ(select.Int(0), 0);
  EXPECT_EQ(select.Text(1), "");
  EXPECT_EQ(select.Blob(2), bytes);
  EXPECT_TRUE(select.IsNull(3));
  EXPECT_EQ(select.Text(3), "");
}

TEST_F(SqlStatementTest, OnlyCommentsPrepareToNoStatementAndTailIsKept) {
  base::Statement s;
  const char* tail = nullptr;
  const char sql[] = "SELECT 1; SELECT 2;";
  EXPECT_EQ(s.Prepare(db_, sql, &tail), SQLITE_OK);
  ASSERT_NE(tail, nullptr);
  EXPECT_STREQ(tail, " SELECT 2;");
  EXPECT_EQ(s.Prepare(db_, "-- nothing\n", &tail), SQLITE_OK);
  EXPECT_FALSE(s.ok());

  // A moved statement is owned once.
  base::Statement a(db_, "SELECT 3;");
  base::Statement b = std::move(a);
  EXPECT_FALSE(a.ok());
  ASSERT_TRUE(b.Step());
  EXPECT_EQ(b.Int(0), 3);
}

}  // namespace

namespace {

// A kept statement comes back with no binding and no row of its last use;
// one that is in use is never handed out twice; statements of a connection
// that was closed are not kept.
TEST_F(SqlStatementTest, KeptStatementsComeBackCleanAndFollowTheirConnection) {
  base::StatementCache cache;
  const char* kInsert = "INSERT INTO t (a, b) VALUES (?, ?);";
  sqlite3_stmt* first = nullptr;
  {
    base::Statement insert(&cache, db_, kInsert);
    ASSERT_TRUE(insert.ok());
    first = insert.get();
    EXPECT_EQ(insert.Bind(1, 1).Bind(2, "one").Exec(), SQLITE_DONE);
    // The same text while the first is in use: a statement of its own.
    base::Statement nested(&cache, db_, kInsert);
    ASSERT_TRUE(nested.ok());
    EXPECT_NE(nested.get(), first);
  }
  {
    base::Statement again(&cache, db_, kInsert);
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(again.get() == first ||
                sqlite3_sql(again.get()) == std::string(kInsert));
    // Its earlier bindings are gone: NULLs, not "one".
    EXPECT_EQ(again.Exec(), SQLITE_DONE);
  }
  base::Statement count(&cache, db_,
                        "SELECT COUNT(*), COUNT(b) FROM t WHERE a IS NULL;");
  ASSERT_TRUE(count.Step());
  EXPECT_EQ(count.Int(0), 1);
  EXPECT_EQ(count.Int(1), 0);
  {
    // A row left unread does not keep a read open once given back.
    base::Statement select(&cache, db_, "SELECT a FROM t;");
    ASSERT_TRUE(select.Step());
  }
  EXPECT_EQ(
      sqlite3_exec(db_, "BEGIN IMMEDIATE; COMMIT;", nullptr, nullptr, nullptr),
      SQLITE_OK);
  count.Finalize();

  // Another connection: what was kept for the first one is finalized, so the
  // first closes at once (sqlite3_close refuses while statements live).
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &other), SQLITE_OK);
  {
    base::Statement on_other(&cache, other, "SELECT 1;");
    ASSERT_TRUE(on_other.Step());
  }
  EXPECT_EQ(sqlite3_close(db_), SQLITE_OK);
  db_ = nullptr;
  cache.Clear();
  EXPECT_EQ(sqlite3_close(other), SQLITE_OK);
  ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);

  // A text that does not prepare is a failed statement, as without a cache.
  base::Statement bad(&cache, db_, "SELECT FROM nowhere;");
  EXPECT_FALSE(bad.ok());
  EXPECT_NE(bad.rc(), SQLITE_OK);
}

}  // namespace
