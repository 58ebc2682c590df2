// A message body on its way to the token text, as the filter takes it: the
// body lowered, its text/plain part when it has one, tokenized with the
// subject. Both extracts of a body with the markers are lower case and no
// longer than the body; the token text never holds a quote.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "filter/classify.h"
#include "mapi/message_reader.h"
#include "text/ascii.h"

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
  const std::string lowered = LowerAscii(body);
  std::string plain;
  const std::string& text =
      ExtractMimePart(lowered, kMimeTextPlain, &plain) ? plain : lowered;
  const std::string tokens =
      MessageTokenText("Subject", text.substr(0, text.find('\0')));
  if (tokens.find_first_of("'\"") != std::string::npos) std::abort();
  return 0;
}
