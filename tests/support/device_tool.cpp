#include "tests/support/device_tool.h"

#include <cstdlib>

namespace testing_support {

int64_t SavedMessageId(const std::string& send_output) {
  static constexpr char kSaved[] = "Saved message ";
  if (send_output.rfind(kSaved, 0) != 0) return 0;
  const char* digits = send_output.c_str() + sizeof(kSaved) - 1;
  char* end = nullptr;
  const long long id = std::strtoll(digits, &end, 10);
  if (end == digits || std::string(end).rfind(" in ", 0) != 0) return 0;
  return id;
}

}  // namespace testing_support
