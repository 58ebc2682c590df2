// The one error type and the result that carries a value: SQLite's codes
// read as their kinds, and a StatusOr holds a value or a failure, never an
// ok without a value.
#include "base/status.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <utility>

namespace {

TEST(StatusTest, SqliteCodesSayWhyAnOperationFailed) {
  EXPECT_TRUE(base::Status::FromSqlite(SQLITE_DONE, "").ok());
  EXPECT_TRUE(base::Status::FromSqlite(SQLITE_BUSY, "locked").IsBusy());
  // Extended codes count by their primary code.
  EXPECT_TRUE(
      base::Status::FromSqlite(SQLITE_BUSY_SNAPSHOT, "locked").IsBusy());
  EXPECT_TRUE(base::Status::FromSqlite(SQLITE_NOTADB, "x").IsCorrupt());
  base::Status io = base::Status::FromSqlite(SQLITE_CANTOPEN, "no file");
  EXPECT_TRUE(io.IsIoError());
  EXPECT_EQ(io.ToString(), "IO error: no file");
  EXPECT_EQ(base::Status().ToString(), "OK");
}

TEST(StatusOrTest, HoldsAValueOrWhyThereIsNone) {
  base::StatusOr<std::string> found(std::string("entry"));
  ASSERT_TRUE(found.ok());
  EXPECT_TRUE(found.status().ok());
  EXPECT_EQ(found.value(), "entry");
  EXPECT_EQ(*found, "entry");
  EXPECT_EQ(found->size(), 5u);
  found->append("s");  // the value is the caller's to change
  EXPECT_EQ(*found, "entrys");

  base::StatusOr<std::string> missing(base::Status::NotFound("no such entry"));
  EXPECT_FALSE(missing.ok());
  EXPECT_TRUE(missing.status().IsNotFound());
  EXPECT_EQ(missing.status().message(), "no such entry");

  // An ok Status without a value is no success.
  base::StatusOr<int> mistaken(base::Status::Ok());
  EXPECT_FALSE(mistaken.ok());
  EXPECT_TRUE(mistaken.status().IsInvalidArgument());
}

TEST(StatusOrTest, MovesAValueThatCannotBeCopied) {
  auto make = [](bool ok) -> base::StatusOr<std::unique_ptr<int>> {
    if (!ok) return base::Status::Busy("locked");
    return std::make_unique<int>(7);
  };
  base::StatusOr<std::unique_ptr<int>> made = make(true);
  ASSERT_TRUE(made.ok());
  std::unique_ptr<int> taken = std::move(made).value();
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(*taken, 7);
  EXPECT_TRUE(make(false).status().IsBusy());
}

TEST(StatusOrDeathTest, ReadingTheValueOfAFailureStopsWithItsStatus) {
  base::StatusOr<int> failed(base::Status::Corrupt("bad page"));
  EXPECT_DEATH((void)failed.value(), "Corruption: bad page");
}

}  // namespace
