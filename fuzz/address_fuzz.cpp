// ExtractAddress on any text: the result is a part of the text and no
// longer than it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "storage/message_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string address = ExtractAddress(text);
  if (address.size() > text.size()) std::abort();
  if (text.find(address) == std::string::npos) std::abort();
  return 0;
}
