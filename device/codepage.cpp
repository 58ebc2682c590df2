// The device's code page setting, and conversions between UTF-16, the
// device's code page (1252 or UTF-8) and UTF-8.
#include "device/codepage.h"

#include <iconv.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "base/mutex.h"
#include "device/image_root.h"

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

// The code page read from the image, for the image root it was read for.
struct CodePageCache {
  base::Mutex mutex;
  int pinned GUARDED_BY(mutex) = 0;
  std::string root GUARDED_BY(mutex);
  int code_page GUARDED_BY(mutex) = 0;
};

CodePageCache& Cache() {
  static CodePageCache* cache = new CodePageCache;  // lives until exit
  return *cache;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

constexpr unsigned char kUtf8Mark[] = {0xEF, 0xBB, 0xBF};

// Bytes of the UTF-8 sequence a lead byte starts; 0 for a byte that starts
// none (a continuation byte, or one UTF-8 never uses).
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

bool ValidCodePage(int code_page) {
  return code_page == kCodePageUtf8 || code_page == kCodePageWestern;
}

base::StatusOr<int> ReadImageCodePage() {
  const std::string path = CodePagePath();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT)
      return kCodePageWestern;  // an image made before the setting
    return base::Status::IoError("cannot read " + path + ": " +
                                 std::strerror(errno));
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string value = text.str();
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
    value.pop_back();
  int parsed = 0;
  if (value == "65001") parsed = kCodePageUtf8;
  if (value == "1252") parsed = kCodePageWestern;
  if (parsed == 0) {
    return base::Status::Corrupt(path +
                                 " names no code page this device knows");
  }
  return parsed;
}

int AnsiCodePage() {
  CodePageCache& cache = Cache();
  const std::string root = ImageRoot();
  base::MutexLock lock(&cache.mutex);
  if (cache.pinned != 0) return cache.pinned;
  if (cache.code_page != 0 && cache.root == root) return cache.code_page;
  int code_page = kNewImageCodePage;
  if (IsDirectory(DeviceDataDir())) {
    const base::StatusOr<int> stored = ReadImageCodePage();
    // Damaged: the older form, nothing lost.
    base::IgnoreFailure(stored.status(), "Reading the image's code page");
    code_page = stored.ok() ? *stored : kCodePageWestern;
  }
  cache.root = root;
  cache.code_page = code_page;
  return code_page;
}

bool AnsiIsUtf8() { return AnsiCodePage() == kCodePageUtf8; }

void PinAnsiCodePage(int code_page) {
  base::MutexLock lock(&Cache().mutex);
  Cache().pinned = ValidCodePage(code_page) ? code_page : 0;
}

void ForgetAnsiCodePage() {
  base::MutexLock lock(&Cache().mutex);
  Cache().code_page = 0;
  Cache().root.clear();
}

std::u16string Cp1252ToWide(std::string_view text) {
  static const char16_t kQuestion = u'?';
  std::string bytes = Convert("UTF-16LE", "CP1252", text.data(), text.size(), 1,
                              reinterpret_cast<const char*>(&kQuestion), 2);
  std::u16string out(bytes.size() / 2, u'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

std::string WideToCp1252(std::u16string_view wide) {
  return Convert("CP1252", "UTF-16LE",
                 reinterpret_cast<const char*>(wide.data()), wide.size() * 2, 2,
                 "?", 1);
}

std::u16string AnsiToWide(std::string_view ansi) {
  return AnsiIsUtf8() ? Utf8ToWide(ansi) : Cp1252ToWide(ansi);
}

std::string WideToAnsi(std::u16string_view wide) {
  if (!AnsiIsUtf8()) return WideToCp1252(wide);
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() &&
        wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';  // a lone surrogate names no character
    }
    AppendUtf8(c, &out);
  }
  return out;
}

bool ShippedTextIsUtf8(std::string_view bytes) {
  if (bytes.size() >= 3 && std::memcmp(bytes.data(), kUtf8Mark, 3) == 0)
    return true;
  return AnsiIsUtf8() && ValidUtf8(bytes);
}

std::u16string ShippedTextToWide(std::string_view bytes) {
  if (bytes.size() >= 3 && std::memcmp(bytes.data(), kUtf8Mark, 3) == 0)
    return Utf8ToWide(bytes.substr(3));
  return ShippedTextIsUtf8(bytes) ? Utf8ToWide(bytes) : Cp1252ToWide(bytes);
}

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char lead = s[i];
    const size_t n = SequenceLength(lead);
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    if (n > 1) {
      const unsigned char second = s[i + 1];
      // Overlong forms, surrogates and code points past U+10FFFF.
      if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
          (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return false;
    }
    i += n;
  }
  return true;
}

size_t Utf16UnitsCut(std::string_view text, size_t max_units) {
  // Every character takes at least one unit for at most four bytes.
  if (text.size() <= max_units) return text.size();
  size_t used = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;
    const size_t need = c >= 0xF0 ? 2 : 1;
    if (used + need > max_units) return i;
    used += need;
  }
  return text.size();
}

size_t Utf8CharacterCut(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  // Step back over the continuation bytes that stand at the cut to the lead
  // of their sequence; when that sequence reaches past the cut, cut before
  // it. Stray continuation bytes are characters of their own.
  size_t lead = max_bytes;
  while (lead > 0 && max_bytes - lead < 3 &&
         (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80)
    --lead;
  if (lead == max_bytes) return max_bytes;
  const size_t n = SequenceLength(static_cast<unsigned char>(text[lead]));
  if (n > 1 && lead + n > max_bytes && lead + n <= text.size() &&
      ValidUtf8(text.substr(lead, n)))
    return lead;
  return max_bytes;
}

size_t CharacterCut(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  return AnsiIsUtf8() ? Utf8CharacterCut(text, max_bytes) : max_bytes;
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
