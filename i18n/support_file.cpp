// Reading language support files: loading their lines within the size bound,
// splitting a line into fields, and decoding its text (UTF-8 after a mark,
// else the device's code page).
#include "i18n/support_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "device/codepage.h"

namespace i18n {
namespace {

constexpr unsigned char kUtf8Mark[] = {0xEF, 0xBB, 0xBF};

bool IsSeparator(char c) { return c == ';' || c == '='; }

// Never inside a UTF-8 sequence (a 1252 text whose bytes happen to look like
// one cut in half loses those few bytes too).
std::string Cut(std::string field) {
  field.resize(device::Utf8CharacterCut(field, kFieldBytes - 1));
  return field;
}

}  // namespace

SupportLine ParseSupportLine(const std::string& line) {
  std::vector<std::string> fields;
  size_t i = 0;
  while (fields.size() < 6) {
    while (i < line.size() && IsSeparator(line[i])) ++i;
    if (i >= line.size()) break;
    size_t start = i;
    while (i < line.size() && !IsSeparator(line[i])) ++i;
    fields.push_back(line.substr(start, i - start));
  }
  // A newline alone is no field (an empty line).
  while (!fields.empty() && fields.back() == "\n") fields.pop_back();
  SupportLine parsed;
  parsed.has_second_field = fields.size() >= 2;
  if (fields.size() < 6) {
    if (fields.size() >= 2) parsed.section = Cut(fields[1]);
    return parsed;
  }
  assert(fields.size() == 6);
  parsed.complete = true;
  parsed.section = Cut(fields[1]);
  parsed.id = Cut(fields[3]);
  std::string text = fields[5];
  if (!text.empty() && text[0] == '"') {
    // Without the quotes and the line's newline. A last line without a
    // newline keeps all its characters: only its closing quote goes.
    text.erase(0, 1);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '"') text.pop_back();
  }
  parsed.text = Cut(text);
  return parsed;
}

int SupportIdNumber(const std::string& id) {
  long value = std::strtol(id.c_str(), nullptr, 10);
  if (value > 0x7fffffff || value < -0x7fffffff) return 0;
  return static_cast<int>(value);
}

SupportEncoding SupportFileEncoding(const std::string& host_path) {
  FILE* file = std::fopen(host_path.c_str(), "rb");
  if (file == nullptr) return SupportEncoding::kCp1252;
  std::string bytes;
  char buffer[65536];
  size_t got;
  while (bytes.size() <= kMaxSupportFileBytes &&
         (got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    bytes.append(buffer, got);
  std::fclose(file);
  return device::ShippedTextIsUtf8(bytes) ? SupportEncoding::kUtf8
                                          : SupportEncoding::kCp1252;
}

std::u16string SupportTextToWide(const std::string& text,
                                 SupportEncoding encoding) {
  return encoding == SupportEncoding::kUtf8 ? device::Utf8ToWide(text)
                                            : device::Cp1252ToWide(text);
}

bool ReadSupportFile(const std::string& host_path,
                     const std::function<bool(const std::string& line)>& each) {
  FILE* file = std::fopen(host_path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char head[3] = {};
  if (std::fread(head, 1, sizeof head, file) != sizeof head ||
      !std::equal(head, head + 3, kUtf8Mark)) {
    std::rewind(file);
  }
  std::string line;
  int c;
  bool go_on = true;
  while (go_on && (c = std::fgetc(file)) != EOF) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      line.push_back('\n');
      go_on = each(line);
      line.clear();
      continue;
    }
    // A line may be of any length; its fields are cut to 260 bytes.
    if (line.size() < (1u << 20)) line.push_back(static_cast<char>(c));
  }
  if (go_on && !line.empty()) {
    if (line.back() == '\r') line.pop_back();
    each(line);
  }
  std::fclose(file);
  return true;
}

SupportLoad LoadSupportLines(const std::string& host_path,
                             std::vector<std::string>* lines) {
  lines->clear();
  struct stat info {};
  if (host_path.empty() || ::stat(host_path.c_str(), &info) != 0)
    return SupportLoad::kUnreadable;
  if (static_cast<uint64_t>(info.st_size) > kMaxSupportFileBytes)
    return SupportLoad::kTooLarge;
  size_t total = 0;
  bool too_large = false;
  bool read = !host_path.empty() &&
              ReadSupportFile(host_path, [&](const std::string& line) {
                total += line.size();
                if (total > kMaxSupportFileBytes) {
                  too_large = true;
                  return false;
                }
                lines->push_back(line);
                return true;
              });
  if (too_large) {
    lines->clear();
    return SupportLoad::kTooLarge;
  }
  return read ? SupportLoad::kRead : SupportLoad::kUnreadable;
}

}  // namespace i18n
