// ASCII letter case, the one case folding the program does on narrow text:
// A-Z become a-z and every other byte (the code page's accented letters
// included) stays as it is. Token texts, rules, store names and MIME headers
// are all folded and compared this way.
#ifndef TARNVEX_TEXT_ASCII_H_
#define TARNVEX_TEXT_ASCII_H_

#include <string>
#include <string_view>

constexpr char LowerAsciiChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Folds a NUL-terminated text in place.
inline void LowerAsciiInPlace(char* text) {
  for (char* p = text; *p != '\0'; ++p) *p = LowerAsciiChar(*p);
}

inline void LowerAsciiInPlace(std::string* text) {
  for (char& c : *text) c = LowerAsciiChar(c);
}

inline std::string LowerAscii(std::string_view text) {
  std::string lowered(text);
  LowerAsciiInPlace(&lowered);
  return lowered;
}

inline bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAsciiChar(a[i]) != LowerAsciiChar(b[i])) return false;
  }
  return true;
}

#endif  // TARNVEX_TEXT_ASCII_H_
