#include "tests/support/service_file.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "device/image.h"

namespace testing_support {

void ServiceExec(const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(device::MessageServicePath().c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << error;
  sqlite3_free(error);
  sqlite3_close(db);
}

}  // namespace testing_support
