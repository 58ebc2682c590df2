// Text conversions at the platform boundary. The device's ANSI code page is a
// setting of its image: UTF-8 (65001) for every image made now, 1252 for
// images made before it was a setting (they keep it, so that the records they
// hold read as before). Wide text is UTF-16. Host file names are UTF-8.
#ifndef TARNVEX_DEVICE_CODEPAGE_H_
#define TARNVEX_DEVICE_CODEPAGE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/status.h"

namespace device {

inline constexpr int kCodePageUtf8 = 65001;
inline constexpr int kCodePageWestern = 1252;
// What `tarnvex-device init` gives a new image.
inline constexpr int kNewImageCodePage = kCodePageUtf8;

// The device's ANSI code page: the setting in the image (CodePagePath), 1252
// for an image that has none (made before the setting existed) or a damaged
// one, kNewImageCodePage where there is no image yet. Read once per image
// root and kept.
int AnsiCodePage();
bool AnsiIsUtf8();
// Pins the code page of this process, whatever the image says (tests of one
// form of narrow text); 0 goes back to the image's setting.
void PinAnsiCodePage(int code_page);
// Makes the next AnsiCodePage read the image again (after init wrote it).
void ForgetAnsiCodePage();
bool ValidCodePage(int code_page);
// The image's setting as stored: kCodePageWestern when the image has none;
// an I/O error when the file cannot be read, corrupt when it names no code
// page the device knows.
base::StatusOr<int> ReadImageCodePage();

// System code page conversions. Code page 1252 through iconv: characters it
// cannot represent, and the five bytes it leaves undefined, become '?'.
// UTF-8: malformed bytes become U+FFFD, a lone surrogate '?'.
std::u16string AnsiToWide(std::string_view ansi);
std::string WideToAnsi(std::u16string_view wide);
// The same conversions with code page 1252 whatever the device's: for texts
// the program itself keeps in 1252 (the language catalogue's names).
std::u16string Cp1252ToWide(std::string_view text);
std::string WideToCp1252(std::u16string_view wide);

// A text the program ships or reads beside itself (support files, help
// pages): UTF-8 when it starts with the byte-order mark, or when it is valid
// UTF-8 on a UTF-8 device; else code page 1252, the form such files had
// before the device's code page was a setting. The mark is dropped.
bool ShippedTextIsUtf8(std::string_view bytes);
std::u16string ShippedTextToWide(std::string_view bytes);

// The longest prefix of `text` of at most `max_bytes` bytes that ends at a
// character boundary: on a UTF-8 device never inside a UTF-8 sequence (a
// malformed byte counts as one character); in code page 1252 every byte is a
// character.
size_t CharacterCut(std::string_view text, size_t max_bytes);
size_t Utf8CharacterCut(std::string_view text, size_t max_bytes);
// The longest prefix of valid UTF-8 `text` that holds at most `max_units`
// UTF-16 units (a character past the basic plane takes two), cut before a
// character: the measure of texts the service counts in UTF-16.
size_t Utf16UnitsCut(std::string_view text, size_t max_units);

// Keeps the low byte of each UTF-16 unit (the program's cheap narrowing).
std::string LowByteNarrow(std::u16string_view wide);
// Widens each byte to one UTF-16 unit (the inverse of LowByteNarrow).
std::u16string ByteWiden(std::string_view narrow);

// UTF-8 <-> UTF-16, for host paths, the command line and Qt. Malformed input
// becomes U+FFFD.
std::string WideToUtf8(std::u16string_view wide);
std::u16string Utf8ToWide(std::string_view utf8);
// Whether the bytes are well-formed UTF-8 (no overlong form, no surrogate,
// nothing past U+10FFFF).
bool ValidUtf8(std::string_view text);
// Appends one code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(uint32_t code, std::string* out);

// Length of a NUL-terminated UTF-16 string.
size_t WideLength(const char16_t* s);

}  // namespace device

#endif  // TARNVEX_DEVICE_CODEPAGE_H_
