// Text in a message's declared charset read as UTF-8 without losing a byte:
// GMime's charset tables where they know the charset, Latin-1 for every
// byte they cannot read.
#include "mail/mime/charsets.h"

#include <gmime/gmime.h>
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "device/codepage.h"

namespace mail {
namespace {

using device::AppendUtf8;

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  }
  return len;
}

std::string Latin1ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) AppendUtf8(static_cast<unsigned char>(c), &out);
  return out;
}

bool IsUtf8OrAscii(const char* charset) {
  const char* canon = g_mime_charset_canon_name(charset);
  if (canon == nullptr) canon = charset;
  for (const char* name : {"utf-8", "utf8", "us-ascii", "ascii"}) {
    if (g_ascii_strcasecmp(canon, name) == 0) return true;
  }
  return false;
}

}  // namespace

std::string RepairUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    size_t len = Utf8SequenceLength(s, i);
    if (len == 0) {
      AppendUtf8(static_cast<unsigned char>(s[i]), &out);
      ++i;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string ToUtf8(std::string_view bytes, const char* charset) {
  if (charset == nullptr || *charset == '\0' || IsUtf8OrAscii(charset)) {
    return RepairUtf8(bytes);
  }
  iconv_t cd = g_mime_iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return Latin1ToUtf8(bytes);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  while (in_left > 0) {
    char* o = buffer;
    size_t o_left = sizeof(buffer);
    const size_t r = iconv(cd, &in, &in_left, &o, &o_left);
    const int err = errno;
    out.append(buffer, static_cast<size_t>(o - buffer));
    if (r != static_cast<size_t>(-1) || err == E2BIG || in_left == 0) continue;
    // A byte the charset cannot decode, or a sequence cut off at the end:
    // that byte as Latin-1.
    AppendUtf8(static_cast<unsigned char>(*in), &out);
    ++in;
    --in_left;
  }
  char* o = buffer;  // the shift state's end (stateful charsets)
  size_t o_left = sizeof(buffer);
  iconv(cd, nullptr, nullptr, &o, &o_left);
  out.append(buffer, static_cast<size_t>(o - buffer));
  g_mime_iconv_close(cd);
  return RepairUtf8(out);
}

}  // namespace mail
