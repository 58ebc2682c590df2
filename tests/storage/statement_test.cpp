// Opening a database by its CE path: an open SQLite refuses is a failure
// that says why, whatever result code SQLite gave it.
#include "storage/statement.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>

#include "device/image.h"
#include "tests/support/temp_image.h"

namespace {

// An image whose folder is named by a relative path that SQLite reads as a
// URI naming a VFS that does not exist: SQLite refuses every open in it with
// its generic error code (SQLITE_ERROR), not with "cannot open".
class UriNamedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::MakeTempDir("uri_image");
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    ASSERT_EQ(mkdir("file:image?vfs=none", 0700), 0);
    const char* env = getenv("TARNVEX_DEVICE");
    had_env_ = env != nullptr;
    if (had_env_) old_env_ = env;
    setenv("TARNVEX_DEVICE", "file:image?vfs=none", 1);
    device::SetImageRoot("");
  }
  void TearDown() override {
    if (had_env_) {
      setenv("TARNVEX_DEVICE", old_env_.c_str(), 1);
    } else {
      unsetenv("TARNVEX_DEVICE");
    }
    EXPECT_EQ(chdir(cwd_), 0);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string dir_;
  char cwd_[PATH_MAX] = {};
  bool had_env_ = false;
  std::string old_env_;
};

TEST_F(UriNamedImage, AnOpenSQLiteRefusesWithItsGenericErrorIsAFailure) {
  sqlite3* db = nullptr;
  const base::Status opened = storage::OpenCeDatabase("\\Rules_0.db", &db);
  EXPECT_FALSE(opened.ok());
  EXPECT_EQ(opened.message(), "no such vfs: none/Rules_0.db");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(sqlite3_errcode(db), SQLITE_ERROR)
      << "the image no longer gives SQLite's generic error";
  sqlite3_close(db);
  // A connection to keep is not handed out.
  EXPECT_EQ(storage::OpenCeDatabaseOrReport("\\Rules_0.db"), nullptr);
}

}  // namespace
