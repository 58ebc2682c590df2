// What tests read from tarnvex-device's output.
#ifndef TARNVEX_TESTS_SUPPORT_DEVICE_TOOL_H_
#define TARNVEX_TESTS_SUPPORT_DEVICE_TOOL_H_

#include <cstdint>
#include <string>

namespace testing_support {

// The id N of "Saved message N in STORE\Outbox", what `send` says; 0 when
// the output says something else.
int64_t SavedMessageId(const std::string& send_output);

}  // namespace testing_support

#endif  // TARNVEX_TESTS_SUPPORT_DEVICE_TOOL_H_
