// The program's databases are private to the image's owner: a new database
// is made 0600, and what SQLite makes beside it (write-ahead log, shared
// memory, rollback journal) takes the same mode, whatever the process's
// file-creation mask.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>

#include "storage/statement.h"
#include "tests/support/temp_image.h"

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

TEST(PrivateFilesTest, ANewDatabaseAndItsLogAreTheOwnersOnly) {
  testing_support::TempImage image;
  mode_t old_mask = umask(022);
  sqlite3* db = nullptr;
  ASSERT_TRUE(storage::OpenCeDatabase("\\Messages.db", &db).ok());
  ASSERT_EQ(sqlite3_exec(db,
                         "PRAGMA journal_mode=WAL; CREATE TABLE t (x); INSERT "
                         "INTO t VALUES (1);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  std::string path = image.Host(u"\\Messages.db");
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_EQ(ModeOf(path + "-wal"), 0600u);
  EXPECT_EQ(ModeOf(path + "-shm"), 0600u);
  sqlite3_close(db);
  // An existing database keeps what its owner gave it.
  chmod(path.c_str(), 0640);
  ASSERT_TRUE(storage::OpenCeDatabase("\\Messages.db", &db).ok());
  sqlite3_close(db);
  EXPECT_EQ(ModeOf(path), 0640u);
  umask(old_mask);
}

}  // namespace
