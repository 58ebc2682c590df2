// The reader of language support files: 8-bit text, one entry a line, split
// into fields at ';' and '=' (runs of them count once, leading ones are
// skipped): label, section word, -, id, -, text. A quoted text loses its
// quotes; an unquoted last field keeps the line's newline.
#ifndef TARNVEX_I18N_SUPPORT_FILE_H_
#define TARNVEX_I18N_SUPPORT_FILE_H_

#include <functional>
#include <string>
#include <vector>

namespace i18n {

// Every field is held in 260 bytes: longer ones are cut.
inline constexpr size_t kFieldBytes = 260;

struct SupportLine {
  bool has_second_field = false;  // false ends the reading of a file
  bool complete = false;          // section, id and text are there
  std::string section;
  std::string id;    // as written
  std::string text;  // quotes removed
};

SupportLine ParseSupportLine(const std::string& line);
// Leading blanks, a sign and digits up to the first other character.
int SupportIdNumber(const std::string& id);

// A file that begins with the UTF-8 byte-order mark holds UTF-8 text, and so
// does a file of well-formed UTF-8 on a UTF-8 device; any other file is in
// code page 1252, the code page support files were always written in.
enum class SupportEncoding { kCp1252, kUtf8 };
// kCp1252 also when the file cannot be read.
SupportEncoding SupportFileEncoding(const std::string& host_path);
// A field's text as wide text (malformed UTF-8 becomes U+FFFD).
std::u16string SupportTextToWide(const std::string& text,
                                 SupportEncoding encoding);

// Reads the file line by line (a leading byte-order mark is skipped) ("\r\n" as
// one newline) and calls `each` for every line until `each` returns false.
// False when the file cannot be read.
bool ReadSupportFile(const std::string& host_path,
                     const std::function<bool(const std::string& line)>& each);

// A support file is read whole into memory once, when its language is
// chosen, and applied from there. Files beyond this bound (a real one holds
// a few kilobytes; every dialog that opens applies all of its lines again)
// are refused rather than read.
inline constexpr size_t kMaxSupportFileBytes = 256 * 1024;
enum class SupportLoad { kRead, kTooLarge, kUnreadable };
// The file's lines as ReadSupportFile gives them.
SupportLoad LoadSupportLines(const std::string& host_path,
                             std::vector<std::string>* lines);

}  // namespace i18n

#endif  // TARNVEX_I18N_SUPPORT_FILE_H_
