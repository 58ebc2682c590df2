// Conversions between UTF-16, the device's code page 1252 and UTF-8.
#include "device/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace device {
namespace {

// iconv converts in chunks; on a character it cannot map it stops with
// EILSEQ, and we emit `replacement` and step over one input unit.
std::string Convert(const char* to, const char* from, const char* in,
                    size_t in_len, size_t unit, const char* replacement,
                    size_t replacement_len) {
  std::string out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  std::vector<char> buf(4096);
  char* src = const_cast<char*>(in);
  size_t left = in_len;
  while (left > 0) {
    char* dst = buf.data();
    size_t room = buf.size();
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf.data(), dst - buf.data());
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: skip one unit (a UTF-16 surrogate pair counts as
      // one character when both halves are present).
      size_t skip = unit;
      if (unit == 2 && left >= 4) {
        char16_t c;
        std::memcpy(&c, src, 2);
        if (c >= 0xD800 && c <= 0xDBFF) skip = 4;
      }
      if (skip > left) skip = left;
      src += skip;
      left -= skip;
      out.append(replacement, replacement_len);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::u16string AnsiToWide(std::string_view ansi) {
  static const char16_t kQuestion = u'?';
  std::string bytes = Convert("UTF-16LE", "CP1252", ansi.data(), ansi.size(), 1,
                              reinterpret_cast<const char*>(&kQuestion), 2);
  std::u16string out(bytes.size() / 2, u'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

std::string WideToAnsi(std::u16string_view wide) {
  return Convert("CP1252", "UTF-16LE",
                 reinterpret_cast<const char*>(wide.data()), wide.size() * 2, 2,
                 "?", 1);
}

std::string LowByteNarrow(std::u16string_view wide) {
  std::string out(wide.size(), '\0');
  for (size_t i = 0; i < wide.size(); ++i)
    out[i] = static_cast<char>(wide[i] & 0xFF);
  return out;
}

std::u16string ByteWiden(std::string_view narrow) {
  std::u16string out(narrow.size(), u'\0');
  for (size_t i = 0; i < narrow.size(); ++i)
    out[i] = static_cast<unsigned char>(narrow[i]);
  return out;
}

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

std::string WideToUtf8(std::u16string_view w) {
  std::string out;
  out.reserve(w.size());
  for (size_t i = 0; i < w.size(); ++i) {
    uint32_t c = w[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 &&
        w[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (w[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(c, &out);
  }
  return out;
}

std::u16string Utf8ToWide(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = s[i];
    uint32_t c;
    size_t n;
    if (b < 0x80) {
      c = b;
      n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      n = 4;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    bool ok = i + n <= s.size();
    for (size_t k = 1; ok && k < n; ++k) {
      unsigned char cb = s[i + k];
      if ((cb & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (cb & 0x3F);
    }
    if (!ok || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

size_t WideLength(const char16_t* s) {
  size_t n = 0;
  if (s == nullptr) return 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace device
