// Recording a judged held message in its store's message database. The
// message's place in the folders is not this module's business: the caller
// passes the release (the move from the held folder back into the Outbox) as
// a function.
//
// Status 1: a rule covers every recipient, the message is released.
// Status 0: no rule covers it, the message stays held.
#ifndef TARNVEX_HOLD_RECORD_MESSAGE_H_
#define TARNVEX_HOLD_RECORD_MESSAGE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "filter/classify.h"

// The texts of one message as classification needs them (narrow, code page
// 1252). The field widths of the reading side are kept by whoever fills it.
struct ClassifyTexts {
  std::string store_name;
  std::string sender;
  // The recipients as the record stores them (the reading side may cut the
  // text to its field); only the record and the digest use this.
  std::string recipients;
  // The recipients as read, whole: the judgement uses this.
  RecipientsRead recipients_read;
  // The outgoing check held this message again right after the worker had
  // released it: it is not covered until the rules change, whatever the
  // judgement says, so that it never goes back and forth.
  bool held_again = false;
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
// A message held again by the outgoing check, or whose recipients could not
// be read whole, counts as not covered.
// Returns the new status.
// *recorded (when given) is false when the record could not be written; the
// caller takes the message up again later.
int32_t ClassifyMessage(bool is_new, int32_t stored_status,
                        const ClassifyTexts& texts,
                        const ReleaseMessage& release,
                        bool* recorded = nullptr);

#endif  // TARNVEX_HOLD_RECORD_MESSAGE_H_
