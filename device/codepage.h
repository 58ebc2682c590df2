// Text conversions at the platform boundary. The device's ANSI code page is
// 1252; wide text is UTF-16. Host file names are UTF-8.
#ifndef TARNVEX_DEVICE_CODEPAGE_H_
#define TARNVEX_DEVICE_CODEPAGE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace device {

inline constexpr int kAnsiCodePage = 1252;

// System code page conversions (iconv). Characters that code page 1252 cannot
// represent, and the five bytes it leaves undefined, become '?'.
std::u16string AnsiToWide(std::string_view ansi);
std::string WideToAnsi(std::u16string_view wide);

// Keeps the low byte of each UTF-16 unit (the program's cheap narrowing).
std::string LowByteNarrow(std::u16string_view wide);
// Widens each byte to one UTF-16 unit (the inverse of LowByteNarrow).
std::u16string ByteWiden(std::string_view narrow);

// UTF-8 <-> UTF-16, for host paths, the command line and Qt. Malformed input
// becomes U+FFFD.
std::string WideToUtf8(std::u16string_view wide);
std::u16string Utf8ToWide(std::string_view utf8);
// Appends one code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(uint32_t code, std::string* out);

// Length of a NUL-terminated UTF-16 string.
size_t WideLength(const char16_t* s);

}  // namespace device

#endif  // TARNVEX_DEVICE_CODEPAGE_H_
