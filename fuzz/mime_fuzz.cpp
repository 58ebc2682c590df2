// ExtractMimePart on any body with both markers: an extract is lower case
// and no longer than the body.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mapi/message_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  for (const char* marker : {kMimeTextHtml, kMimeTextPlain}) {
    std::string part;
    if (ExtractMimePart(body, marker, &part)) {
      if (part.size() > body.size()) std::abort();
      for (char c : part) {
        if (c >= 'A' && c <= 'Z') std::abort();
      }
    }
  }
  return 0;
}
