// The one bounded copy into a fixed narrow text field, for every layer that
// keeps texts in char[N] fields: nothing is ever written past a field, and a
// longer text is cut before the first character that does not fit (never
// inside a UTF-8 sequence on a UTF-8 device).
#ifndef TARNVEX_TEXT_FIELD_H_
#define TARNVEX_TEXT_FIELD_H_

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "device/codepage.h"

// At most size - 1 bytes, then a NUL. Returns false when the text was cut.
inline bool CopyField(char* field, size_t size, std::string_view text) {
  if (field == nullptr || size == 0) return text.empty();
  const size_t n = device::CharacterCut(text, size - 1);
  if (n > 0) std::memcpy(field, text.data(), n);
  field[n] = '\0';
  return n == text.size();
}

template <size_t N>
bool CopyField(char (&field)[N], std::string_view text) {
  return CopyField(field, N, text);
}

// The text as a field of `size` bytes holds it (at most size - 1 bytes, cut
// as CopyField cuts), for fields kept in a std::string.
inline std::string FieldText(std::string_view text, size_t size) {
  if (size == 0) return std::string();
  return std::string(text.substr(0, device::CharacterCut(text, size - 1)));
}

#endif  // TARNVEX_TEXT_FIELD_H_
