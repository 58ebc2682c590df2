// The support-file line parser on any bytes: fields stay within their 260
// bytes, and a complete line has all three fields.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "i18n/support_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(
        start, end == std::string::npos ? std::string::npos : end - start + 1);
    i18n::SupportLine parsed = i18n::ParseSupportLine(line);
    if (parsed.section.size() >= i18n::kFieldBytes ||
        parsed.id.size() >= i18n::kFieldBytes ||
        parsed.text.size() >= i18n::kFieldBytes) {
      std::abort();
    }
    if (parsed.complete && !parsed.has_second_field) std::abort();
    i18n::SupportIdNumber(parsed.id);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return 0;
}
