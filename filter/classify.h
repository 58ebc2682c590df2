// Judging a held message against the rules and recording it in its store's
// message database. The message's place in the folders is not this module's
// business: the caller passes the release (the move from the held folder back
// into the Outbox) as a function, so the engine stays free of the messaging
// service.
//
// Status 1: a rule covers every recipient, the message is released.
// Status 0: no rule covers it, the message stays held.
#ifndef TARNVEX_FILTER_CLASSIFY_H_
#define TARNVEX_FILTER_CLASSIFY_H_

#include <cstdint>
#include <functional>
#include <string>

// The texts of one message as classification needs them (narrow, code page
// 1252). The field widths of the reading side are kept by whoever fills it.
struct ClassifyTexts {
  std::string store_name;
  std::string sender;
  std::string recipients;
  std::string subject;
  std::string body;
  std::string lowered_body;
  std::string token_text;
  std::string received_date;
  std::string received_time;
};

// Moves the message out of the held folder into the Outbox.
using ReleaseMessage = std::function<void()>;

// Judges the message and brings its record up to date:
//   new, no rule covers it        -> record inserted with Status 0, stays held
//   new, a rule covers it         -> record inserted with Status 1, released
//   known 0, still not covered    -> unchanged, stays held
//   known 0, covered now          -> Status set to 1, released
//   known 1, covered              -> unchanged, released
//   known 1, no longer covered    -> Status set to 0, stays held (it would
//                                    otherwise be released, held again by the
//                                    outgoing check, and released again for
//                                    ever)
// Returns the new status.
int32_t ClassifyMessage(bool is_new, int32_t stored_status,
                        const ClassifyTexts& texts,
                        const ReleaseMessage& release);

// The lowered body: ASCII letters folded to lower case, nothing else touched.
std::string LowerAscii(const std::string& text);

// The token text of a new message: the tokens of the subject, one space and
// the body text the caller chose (see ProcessMessage).
std::string MessageTokenText(const std::string& subject,
                             const std::string& body_text);

#endif  // TARNVEX_FILTER_CLASSIFY_H_
