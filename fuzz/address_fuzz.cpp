// ExtractAddress on any text, and the address on its way into a rule: the
// result is a part of the text and no longer than it; every token of it is
// found in the text as the recipients match finds tokens; the phone stores'
// form of it has no blank.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "filter/classify.h"
#include "filter/rule_table.h"
#include "storage/message_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string address = ExtractAddress(text);
  if (address.size() > text.size()) std::abort();
  if (text.find(address) == std::string::npos) std::abort();
  const std::string needles = address.substr(0, address.find('\0'));
  const std::string haystack = text.substr(0, text.find('\0'));
  if (needles.size() <= haystack.size() &&
      haystack.find(needles) != std::string::npos &&
      !TokensContained(needles.c_str(), haystack.c_str())) {
    std::abort();
  }
  for (const char* store : {"SMS", "mms", "E-mail"}) {
    const std::string stored = StoreRecipientsText(store, address);
    if (IsPhoneStore(store) && stored.find(' ') != std::string::npos)
      std::abort();
  }
  return 0;
}
