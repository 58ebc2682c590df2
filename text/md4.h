// The digest that identifies a recorded message: MD4 (RFC 1320) of a text,
// written as 32 lower-case hexadecimal digits. The program's own code; it
// keeps no state between calls and may run on any thread.
#ifndef TARNVEX_TEXT_MD4_H_
#define TARNVEX_TEXT_MD4_H_

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr size_t kDigestTextSize = 33;  // 32 digits and the NUL

// Digest text of the bytes of `text` up to its first NUL, into `out` (at
// least 33 bytes).
void HashText(const char* text, char* out);

// The same for a text of known length (used by tests and benchmarks).
void HashBytes(const void* data, size_t size, uint8_t digest[16]);
std::string HashTextOf(const std::string& text);

#endif  // TARNVEX_TEXT_MD4_H_
