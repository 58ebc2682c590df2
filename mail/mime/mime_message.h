// Reading an e-mail message as the mail path receives it (RFC 5322 bytes)
// into the texts a message in the store is made of: sender, recipients,
// subject and body text, all UTF-8. MIME and addresses are read by GMime;
// this file adds only the choices the device makes (which part is the text,
// what an unreadable charset becomes) and the limits. No I/O, no threads of
// its own; safe to call from any thread.
#ifndef TARNVEX_MAIL_MIME_MIME_MESSAGE_H_
#define TARNVEX_MAIL_MIME_MIME_MESSAGE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mail {

// A larger message is refused unread (the submission server's own size
// limit is lower; this one guards every other caller).
inline constexpr size_t kMaxMessageSize = size_t{64} << 20;
// Multiparts and attached messages inside one another; deeper is refused.
inline constexpr int kMaxMimeDepth = 32;

// What a message says about itself, decoded to UTF-8.
struct ReadMail {
  std::string from;             // bare address of the first From mailbox, or ""
  std::string from_name;        // that mailbox's display name, decoded
  std::vector<std::string> to;  // bare addresses, groups flattened
  std::vector<std::string> cc;
  std::vector<std::string> bcc;
  std::string subject;  // RFC 2047 decoded
  // The first text/plain part that is not an attachment, else the text of
  // the first such text/html part; transfer encoding undone, converted to
  // UTF-8. "" when the message has no text part.
  std::string text;
  // A byte >= 0x80 in the top-level header block (mail that needs SMTPUTF8).
  bool has_8bit_headers = false;
  // Whether the top-level header has these fields, and a header at all.
  bool has_date = false;
  bool has_message_id = false;
  bool has_header = false;
};

// Reads `raw` into `out`. Malformed mail is read as well as it can be;
// false (with `error` set) only for a message over kMaxMessageSize, nested
// deeper than kMaxMimeDepth, or one GMime cannot read at all.
bool ReadMessage(std::string_view raw, ReadMail* out, std::string* error);

// `raw` byte for byte, less every Bcc field (with its continuation lines)
// of the top-level header block, as the sendmail convention keeps a message
// for delivery. The header block ends at the first empty line (CRLF or LF).
std::string WithoutBcc(std::string_view raw);
// The same, appended to *to (one copy of the message, not two).
void AppendWithoutBcc(std::string_view raw, std::string* to);

// The bare addresses (local@domain) of an address header's value (To, Cc, Bcc),
// groups flattened, in order. False when the value holds a NUL byte or text
// that is not empty yet names no address.
bool ParseAddressList(std::string_view header_value,
                      std::vector<std::string>* addresses);

// `html` (UTF-8) as plain text: tags removed, line breaks for <br> and the
// block elements, script, style and title content dropped, character
// references decoded. Exposed for its own tests.
std::string HtmlToText(std::string_view html);

}  // namespace mail

#endif  // TARNVEX_MAIL_MIME_MIME_MESSAGE_H_
