// TokenizeText and ParseTokenText on any bytes: the token text is sorted,
// distinct, quote-free, never has two adjacent spaces, fits its buffer, and
// parses back into as many words as it holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "text/tokens.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.substr(0, text.find('\0'));
  std::vector<char> in(text.begin(), text.end());
  in.push_back('\0');
  std::vector<char> out(text.size() + 2, '\0');
  TokenizeText(in.data(), out.data());
  const char* tokens = out.data();
  size_t length = std::strlen(tokens);
  if (length > text.size() + 1) std::abort();
  if (std::strchr(tokens, '\'') || std::strchr(tokens, '"') ||
      std::strstr(tokens, "  ")) {
    std::abort();
  }
  int words = 0;
  const char* previous = nullptr;
  size_t previous_length = 0;
  for (const char* p = tokens; *p != '\0';) {
    const char* space = std::strchr(p, ' ');
    if (space == nullptr) std::abort();  // every word ends with a space
    size_t n = static_cast<size_t>(space - p);
    if (previous != nullptr) {
      int c =
          std::memcmp(previous, p, previous_length < n ? previous_length : n);
      if (c > 0 || (c == 0 && previous_length >= n)) std::abort();
    }
    previous = p;
    previous_length = n;
    ++words;
    p = space + 1;
  }
  TokenList list;
  if (ParseTokenText(tokens, &list) != (words > 0)) std::abort();
  if (list.Count != words) std::abort();
  FreeTokenList(&list);
  // The parser on raw input too.
  TokenList raw;
  ParseTokenText(text.c_str(), &raw);
  FreeTokenList(&raw);
  return 0;
}
