// Reading the bytes of a message's texts as UTF-8, for the readers of the
// mail/mime room: nothing is dropped, whatever the bytes and their charset.
#ifndef TARNVEX_MAIL_MIME_CHARSETS_H_
#define TARNVEX_MAIL_MIME_CHARSETS_H_

#include <string>
#include <string_view>

namespace mail {

// Valid UTF-8 kept; every byte that is not part of a valid sequence is
// taken as Latin-1, so no byte is lost and the result is always UTF-8.
std::string RepairUtf8(std::string_view s);

// `bytes` in `charset` as UTF-8 with GMime's charset tables. Undeclared,
// ASCII or UTF-8 text keeps its valid UTF-8 and reads other bytes as
// Latin-1; an unknown charset reads every byte as Latin-1; a byte the
// charset cannot decode is read as Latin-1 too. Nothing is dropped.
std::string ToUtf8(std::string_view bytes, const char* charset);

}  // namespace mail

#endif  // TARNVEX_MAIL_MIME_CHARSETS_H_
