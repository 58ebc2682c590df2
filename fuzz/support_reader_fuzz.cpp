// A language support file as it lies on the device, read once as the
// program reads it, without and then with the UTF-8 byte-order mark: the
// file is UTF-8 when marked, or when it is valid UTF-8 on a UTF-8 device,
// the mark is never part of a line, the lines loaded are the lines read, and
// every field widens in the file's encoding.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/codepage.h"
#include "fuzz/fuzz_image.h"
#include "i18n/support_file.h"

namespace {

void ReadAs(const std::string& path, const std::string& bytes, bool marked) {
  fuzzing::WriteHostFile(path, marked ? "\xEF\xBB\xBF" + bytes : bytes);
  const i18n::SupportEncoding encoding = i18n::SupportFileEncoding(path);
  const bool starts_marked = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
  const bool utf8 = marked || starts_marked ||
                    (device::AnsiIsUtf8() && device::ValidUtf8(bytes));
  if ((encoding == i18n::SupportEncoding::kUtf8) != utf8) std::abort();

  std::vector<std::string> loaded;
  const i18n::SupportLoad load = i18n::LoadSupportLines(path, &loaded);
  std::vector<std::string> read;
  if (!i18n::ReadSupportFile(path, [&](const std::string& line) {
        read.push_back(line);
        return true;
      })) {
    std::abort();
  }
  if (load == i18n::SupportLoad::kRead && loaded != read) std::abort();
  if (load == i18n::SupportLoad::kUnreadable) std::abort();
  // The mark is skipped once, only at the start.
  if (marked && !bytes.empty() && bytes[0] != '\r' &&
      (read.empty() || read[0].empty() || read[0][0] != bytes[0])) {
    std::abort();
  }
  for (const std::string& line : loaded) {
    const i18n::SupportLine parsed = i18n::ParseSupportLine(line);
    if (!parsed.has_second_field)
      break;  // ends the reading, as the program does
    if (!parsed.complete) continue;
    i18n::SupportIdNumber(parsed.id);
    i18n::SupportTextToWide(parsed.text, encoding);
    i18n::SupportTextToWide(parsed.section, encoding);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzzing::FuzzImage() + "/Tarnvex.emn.fuzz";
  const std::string bytes = fuzzing::FromInput(data, size);
  ReadAs(path, bytes, false);
  ReadAs(path, bytes, true);
  return 0;
}
