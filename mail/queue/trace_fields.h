// The header fields the device adds to a message it takes in, as a mail
// server does: a Received line for its hop (RFC 5321 4.4), and Date and
// Message-ID when the message has none (RFC 6409 8). They go in front of
// the message, which stays byte for byte as it came behind them. Dates and
// identifiers are GMime's; no I/O, safe on any thread.
#ifndef TARNVEX_MAIL_QUEUE_TRACE_FIELDS_H_
#define TARNVEX_MAIL_QUEUE_TRACE_FIELDS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "mail/mime/mime_message.h"

namespace mail {

// Longest EHLO name the Received line repeats; the rest is cut.
inline constexpr std::size_t kMaxTracedHeloName = 100;

// How a message reached the device.
struct Reception {
  // Over SMTP: the client's EHLO name and address. Empty for mail handed
  // over on the device itself (sendmail).
  std::string helo;
  std::string client_address;
  bool tls = false;
  bool authenticated = false;
  // Handed over on the device: the user who ran the command (-1: unknown).
  long uid = -1;
};

// The fields to put in front of `raw` (read into `read`), each line ended
// as raw's first line is (CRLF, else LF); for text without a header of its
// own, an empty line after them. `now_ms` is the device clock's time (ms
// since 1970); `domain` is the right side of a new Message-ID.
std::string AddedFields(const Reception& how, std::string_view raw,
                        const ReadMail& read, int64_t now_ms,
                        const std::string& domain);

}  // namespace mail

#endif  // TARNVEX_MAIL_QUEUE_TRACE_FIELDS_H_
