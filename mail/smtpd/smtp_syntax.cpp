// The syntax of the submission session's command arguments: paths and
// their parameters (RFC 5321 4.1.2), the base64 of SASL responses.
#include "mail/smtpd/smtp_syntax.h"

#include <cstdint>

namespace mail::smtp_syntax {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Sizes of the parts of a path (RFC 5321 4.5.3.1).
constexpr std::size_t kMaxLocalPart = 64;
constexpr std::size_t kMaxDomain = 255;
constexpr std::size_t kMaxPath = 256;

bool IsAlpha(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsAlnum(unsigned char c) { return IsAlpha(c) || IsDigit(c); }

// atext of RFC 5322, without the UTF-8 extension.
bool IsAtext(unsigned char c) {
  if (IsAlnum(c)) return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~").find(char(c)) !=
         std::string_view::npos;
}

// Well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = s[i];
    std::size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const unsigned char t = s[i + k];
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
      return false;
    i += n + 1;
  }
  return true;
}

// A domain: dot-separated labels of letters, digits and inner hyphens; with
// SMTPUTF8 a label may also hold UTF-8 (a U-label).
bool ValidDomain(std::string_view d, bool utf8) {
  if (d.empty() || d.size() > kMaxDomain) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = d.find('.', start);
    const std::string_view label =
        d.substr(start, dot == std::string_view::npos ? d.npos : dot - start);
    if (label.empty() || label.size() > 63) return false;
    for (std::size_t i = 0; i < label.size(); ++i) {
      const unsigned char c = label[i];
      const bool edge = i == 0 || i + 1 == label.size();
      if (c >= 0x80) {
        if (!utf8) return false;
      } else if (!IsAlnum(c) && (edge || c != '-')) {
        return false;
      }
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return true;
}

bool ValidIpv4(std::string_view s) {
  int parts = 0;
  std::size_t i = 0;
  while (true) {
    std::size_t digits = 0;
    int value = 0;
    while (i < s.size() && IsDigit(s[i]) && digits < 4) {
      value = value * 10 + (s[i] - '0');
      ++i, ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (i == s.size()) break;
    if (s[i] != '.' || parts == 4) return false;
    ++i;
  }
  return parts == 4;
}

// "[1.2.3.4]", "[IPv6:...]" or "[tag:content]".
bool ValidAddressLiteral(std::string_view lit) {
  if (lit.size() < 3 || lit.front() != '[' || lit.back() != ']') return false;
  const std::string_view in = lit.substr(1, lit.size() - 2);
  if (ValidIpv4(in)) return true;
  const std::size_t colon = in.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const std::string_view tag = in.substr(0, colon);
  const std::string_view content = in.substr(colon + 1);
  if (content.empty()) return false;
  if (EqualsNoCase(tag, "IPv6")) {
    if (content.size() > 45 || content.find(':') == content.npos) return false;
    for (unsigned char c : content)
      if (!(IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
            c == ':' || c == '.'))
        return false;
    return true;
  }
  if (!IsAlnum(tag.front()) || !IsAlnum(tag.back())) return false;
  for (unsigned char c : tag)
    if (!IsAlnum(c) && c != '-') return false;
  for (unsigned char c : content)
    if (c < 33 || c > 126 || c == '[' || c == '\\' || c == ']') return false;
  return true;
}

// Reads the local part at the front of `s` (dot-string or quoted string) and
// returns its length, or 0 when there is none.
std::size_t LocalPartLength(std::string_view s, bool utf8) {
  std::size_t i = 0;
  if (!s.empty() && s[0] == '"') {
    ++i;
    while (i < s.size() && s[i] != '"') {
      const unsigned char c = s[i];
      if (c == '\\') {
        if (i + 1 >= s.size()) return 0;
        const unsigned char q = s[i + 1];
        if (q < 32 || q > 126) return 0;
        i += 2;
        continue;
      }
      if (c >= 0x80 ? !utf8 : (c < 32 || c > 126)) return 0;
      ++i;
    }
    if (i >= s.size()) return 0;
    return i + 1;  // the closing quote
  }
  bool atom_empty = true;
  while (i < s.size()) {
    const unsigned char c = s[i];
    if (c == '.') {
      if (atom_empty) return 0;
      atom_empty = true;
    } else if (IsAtext(c) || (utf8 && c >= 0x80)) {
      atom_empty = false;
    } else {
      break;
    }
    ++i;
  }
  return atom_empty ? 0 : i;
}

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// A path of MAIL or RCPT: "<" [source route ":"] mailbox ">" or "<>".
ParsedPath ParsePath(std::string_view s, bool utf8) {
  ParsedPath p;
  if (s.empty() || s[0] != '<') {
    p.error = PathError::kSyntax;
    return p;
  }
  std::size_t i = 1;
  if (i < s.size() && s[i] == '>') {
    p.null_path = true;
    p.rest = s.substr(i + 1);
    return p;
  }
  // Source route: "@a,@b:" is read and dropped.
  if (i < s.size() && s[i] == '@') {
    const std::size_t colon = s.find(':', i);
    if (colon == s.npos) {
      p.error = PathError::kSyntax;
      return p;
    }
    std::string_view route = s.substr(i, colon - i);
    while (!route.empty()) {
      const std::size_t comma = route.find(',');
      const std::string_view hop = route.substr(0, comma);
      if (hop.size() < 2 || hop[0] != '@' || !ValidDomain(hop.substr(1), utf8))
        p.error = PathError::kMailbox;
      route =
          comma == route.npos ? std::string_view() : route.substr(comma + 1);
      if (comma != std::string_view::npos && route.empty())
        p.error = PathError::kMailbox;
    }
    i = colon + 1;
  }
  const std::size_t local_length = LocalPartLength(s.substr(i), utf8);
  const std::size_t close = [&] {
    // The '>' that ends the path: after the local part, never inside quotes.
    std::size_t from = i + local_length;
    return s.find('>', from);
  }();
  if (close == s.npos) {
    p.error = PathError::kSyntax;
    return p;
  }
  p.rest = s.substr(close + 1);
  const std::string_view mailbox = s.substr(i, close - i);
  if (p.error != PathError::kNone) return p;
  if (mailbox.size() > kMaxPath) {
    p.error = PathError::kMailbox;
    return p;
  }
  if (!IsUtf8(mailbox)) {
    p.error = PathError::kMailbox;
    return p;
  }
  bool has_8bit = false;
  for (unsigned char c : mailbox) has_8bit |= c >= 0x80;
  if (EqualsNoCase(mailbox, "postmaster")) {
    p.postmaster = true;
    p.address = std::string(mailbox);
    return p;
  }
  if (local_length == 0 || local_length > kMaxLocalPart ||
      local_length >= mailbox.size() || mailbox[local_length] != '@') {
    p.error = has_8bit && !utf8 ? PathError::kUtf8 : PathError::kMailbox;
    return p;
  }
  const std::string_view domain = mailbox.substr(local_length + 1);
  const bool domain_ok =
      domain.size() <= kMaxDomain &&
      (ValidDomain(domain, utf8) ||
       (!domain.empty() && domain[0] == '[' && ValidAddressLiteral(domain)));
  if (!domain_ok) {
    p.error = has_8bit && !utf8 ? PathError::kUtf8 : PathError::kMailbox;
    return p;
  }
  p.address = std::string(mailbox);
  return p;
}

std::optional<std::vector<Parameter>> ParseParameters(std::string_view rest) {
  std::vector<Parameter> params;
  while (!rest.empty()) {
    if (rest[0] != ' ') return std::nullopt;
    while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
    if (rest.empty()) break;
    const std::size_t end = rest.find(' ');
    const std::string_view item = rest.substr(0, end);
    rest = end == rest.npos ? std::string_view() : rest.substr(end);
    Parameter param;
    const std::size_t eq = item.find('=');
    param.keyword = item.substr(0, eq);
    if (param.keyword.empty() || !IsAlnum(param.keyword[0]))
      return std::nullopt;
    for (unsigned char c : param.keyword)
      if (!IsAlnum(c) && c != '-') return std::nullopt;
    if (eq != item.npos) {
      param.has_value = true;
      param.value = item.substr(eq + 1);
      if (param.value.empty()) return std::nullopt;
      for (unsigned char c : param.value)
        if (c < 33 || c > 126 || c == '=') return std::nullopt;
    }
    params.push_back(param);
  }
  return params;
}

// Strict base64 ("=" padding optional); nullopt when it is not base64.
std::optional<std::string> DecodeBase64(std::string_view s) {
  while (!s.empty() && s.back() == '=' && s.size() % 4 != 1) {
    s.remove_suffix(1);
    if (s.size() % 4 == 0) break;
  }
  if (s.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(s.size() * 3 / 4);
  uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : s) {
    const int v = Base64Value(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(char((acc >> bits) & 0xFF));
    }
  }
  return out;
}

}  // namespace mail::smtp_syntax
