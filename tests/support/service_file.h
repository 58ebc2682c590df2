// The device's service file written past the service, as another program of
// the device (the sqlite3 shell, a script) could write it.
#ifndef TARNVEX_TESTS_SUPPORT_SERVICE_FILE_H_
#define TARNVEX_TESTS_SUPPORT_SERVICE_FILE_H_

#include <string>

namespace testing_support {

// Runs `sql` on the current image's messages.db on a connection of its own;
// a failure is a test failure.
void ServiceExec(const std::string& sql);

}  // namespace testing_support

#endif  // TARNVEX_TESTS_SUPPORT_SERVICE_FILE_H_
