// Arbitrary bytes through the cut of a fixed field and the tokenizer, in
// both narrow forms: a cut is a prefix that fits, never ends inside a
// well-formed UTF-8 sequence on a UTF-8 device and stops short only for
// one; a token text is well formed, UTF-8 when its text was, the same every
// time, and the same in both forms for ASCII.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "device/codepage.h"
#include "text/field.h"
#include "text/tokens.h"

namespace {

void CheckCut(std::string_view text, size_t room) {
  const size_t cut = device::Utf8CharacterCut(text, room);
  if (cut > room || cut > text.size()) std::abort();
  if (text.size() <= room && cut != text.size()) std::abort();
  // Cut short only before a well-formed sequence that would not fit.
  if (cut < room && cut < text.size()) {
    const std::string_view rest = text.substr(cut);
    size_t n = 0;  // the bytes of the one character that starts there
    for (size_t k = 1; n == 0 && k <= 4 && k <= rest.size(); ++k)
      if (device::ValidUtf8(rest.substr(0, k))) n = k;
    if (n < 2 || cut + n <= room) std::abort();
  }
  if (device::ValidUtf8(text) && !device::ValidUtf8(text.substr(0, cut)))
    std::abort();
  device::PinAnsiCodePage(device::kCodePageUtf8);
  char field[64];
  CopyField(field, room < sizeof field ? room + 1 : sizeof field, text);
  if (std::strlen(field) > sizeof field - 1) std::abort();
  if (std::string_view(field) !=
      text.substr(0, device::Utf8CharacterCut(text, std::strlen(field))))
    std::abort();
  device::PinAnsiCodePage(0);
}

void CheckTokens(const std::string& text, NarrowForm form) {
  std::string tokens;
  TokenizeText(text, form, &tokens);
  if (tokens.find_first_of("'\"") != std::string::npos) std::abort();
  if (tokens.find("  ") != std::string::npos) std::abort();
  if (!tokens.empty() && (tokens.back() != ' ' || tokens.front() == ' '))
    std::abort();
  std::string_view previous;
  for (size_t at = 0; at < tokens.size();) {
    const size_t space = tokens.find(' ', at);
    const std::string_view word(tokens.data() + at, space - at);
    if (at > 0 && !(previous < word)) std::abort();  // ascending, distinct
    previous = word;
    at = space + 1;
  }
  const std::string_view before_nul(text.c_str());
  if (form == NarrowForm::kUtf8 && device::ValidUtf8(before_nul) &&
      !device::ValidUtf8(tokens))
    std::abort();
  if (TokenTextOf(text, form) != tokens) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t room = data[0] % 48;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  CheckCut(text, room);
  CheckTokens(text, NarrowForm::kCp1252);
  CheckTokens(text, NarrowForm::kUtf8);
  bool ascii = true;
  for (unsigned char c : text) ascii = ascii && c < 0x80;
  if (ascii && TokenTextOf(text, NarrowForm::kCp1252) !=
                   TokenTextOf(text, NarrowForm::kUtf8))
    std::abort();
  return 0;
}
