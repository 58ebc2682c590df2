// Reading `postqueue -j`: a small JSON reader that keeps two string members
// of each line's top-level object and steps over everything else.
#include "gateway/queue_listing.h"

#include <cstdint>

namespace gateway {
namespace {

void SkipBlanks(std::string_view text, size_t* at) {
  while (*at < text.size() && (text[*at] == ' ' || text[*at] == '\t' ||
                               text[*at] == '\r' || text[*at] == '\n')) {
    ++*at;
  }
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

bool ReadHex4(std::string_view text, size_t at, uint32_t* value) {
  if (at + 4 > text.size()) return false;
  *value = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    *value = *value * 16 + digit;
  }
  return true;
}

bool SkipValue(std::string_view text, size_t* at, int depth);

// An object or array from its opening bracket to past its closing one.
bool SkipContainer(std::string_view text, size_t* at, int depth) {
  if (depth > kMaxJsonDepth) return false;
  const char close = text[*at] == '{' ? '}' : ']';
  const bool object = close == '}';
  ++*at;
  SkipBlanks(text, at);
  if (*at < text.size() && text[*at] == close) {
    ++*at;
    return true;
  }
  for (;;) {
    if (object) {
      std::string key;
      SkipBlanks(text, at);
      if (*at >= text.size() || text[*at] != '"' ||
          !ReadJsonString(text, at, &key)) {
        return false;
      }
      SkipBlanks(text, at);
      if (*at >= text.size() || text[*at] != ':') return false;
      ++*at;
    }
    if (!SkipValue(text, at, depth + 1)) return false;
    SkipBlanks(text, at);
    if (*at >= text.size()) return false;
    if (text[*at] == close) {
      ++*at;
      return true;
    }
    if (text[*at] != ',') return false;
    ++*at;
  }
}

bool SkipValue(std::string_view text, size_t* at, int depth) {
  SkipBlanks(text, at);
  if (*at >= text.size()) return false;
  const char c = text[*at];
  if (c == '"') {
    std::string ignored;
    return ReadJsonString(text, at, &ignored);
  }
  if (c == '{' || c == '[') return SkipContainer(text, at, depth);
  // A number, true, false or null: the run of their characters.
  const size_t start = *at;
  while (*at < text.size()) {
    const char d = text[*at];
    const bool part = (d >= '0' && d <= '9') || (d >= 'a' && d <= 'z') ||
                      d == '-' || d == '+' || d == '.' || d == 'E';
    if (!part) break;
    ++*at;
  }
  return *at > start;
}

// One line's object: its queue_name and queue_id when both are strings.
bool ReadLine(std::string_view line, std::string* name, std::string* id) {
  size_t at = 0;
  SkipBlanks(line, &at);
  if (at >= line.size() || line[at] != '{') return false;
  ++at;
  bool have_name = false;
  bool have_id = false;
  SkipBlanks(line, &at);
  if (at < line.size() && line[at] == '}') return false;
  for (;;) {
    std::string key;
    SkipBlanks(line, &at);
    if (at >= line.size() || line[at] != '"' ||
        !ReadJsonString(line, &at, &key)) {
      return false;
    }
    SkipBlanks(line, &at);
    if (at >= line.size() || line[at] != ':') return false;
    ++at;
    SkipBlanks(line, &at);
    if ((key == "queue_name" || key == "queue_id") && at < line.size() &&
        line[at] == '"') {
      std::string value;
      if (!ReadJsonString(line, &at, &value)) return false;
      if (key == "queue_name") {
        *name = std::move(value);
        have_name = true;
      } else {
        *id = std::move(value);
        have_id = true;
      }
    } else if (!SkipValue(line, &at, 1)) {
      return false;
    }
    SkipBlanks(line, &at);
    if (at >= line.size()) return false;
    if (line[at] == '}') return have_name && have_id && !id->empty();
    if (line[at] != ',') return false;
    ++at;
  }
}

}  // namespace

bool ReadJsonString(std::string_view text, size_t* at, std::string* out) {
  out->clear();
  if (*at >= text.size() || text[*at] != '"') return false;
  size_t i = *at + 1;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      *at = i + 1;
      return true;
    }
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      out->push_back(c);
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return false;
    const char e = text[i + 1];
    i += 2;
    switch (e) {
      case '"':
        out->push_back('"');
        break;
      case '\\':
        out->push_back('\\');
        break;
      case '/':
        out->push_back('/');
        break;
      case 'b':
        out->push_back('\b');
        break;
      case 'f':
        out->push_back('\f');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'u': {
        uint32_t code = 0;
        if (!ReadHex4(text, i, &code)) return false;
        i += 4;
        if (code >= 0xD800 && code <= 0xDBFF) {
          uint32_t low = 0;
          if (i + 6 <= text.size() && text[i] == '\\' && text[i + 1] == 'u' &&
              ReadHex4(text, i + 2, &low) && low >= 0xDC00 && low <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            i += 6;
          } else {
            code = 0xFFFD;
          }
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
          code = 0xFFFD;
        }
        AppendUtf8(code, out);
        break;
      }
      default:
        return false;
    }
  }
  return false;
}

QueueListing ParseQueueListing(std::string_view text) {
  QueueListing listing;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string name, id;
    if (ReadLine(text.substr(start, end - start), &name, &id))
      listing[id] = name;
    start = end + 1;
  }
  return listing;
}

bool IsPostfixQueueId(std::string_view id) {
  if (id.empty() || id.size() > kMaxQueueIdBytes || id == "ALL") return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
          (c >= 'a' && c <= 'z'))) {
      return false;
    }
  }
  return true;
}

}  // namespace gateway
