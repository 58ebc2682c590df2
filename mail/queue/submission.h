// One submitted message into an e-mail store's Outbox: the common end of the
// sendmail command and the SMTP submission server. The message is read for
// the service's fields (decoded subject and text, sender), its recipients are
// the envelope's (every one, Bcc included: where the mail would go is what
// the filter judges), and its raw form, less its Bcc header, is kept for
// delivery, behind the fields a mail server adds (trace_fields.h: Received,
// and Date and Message-ID when missing). Stored with a full sync before
// Submit returns kStored.
#ifndef TARNVEX_MAIL_QUEUE_SUBMISSION_H_
#define TARNVEX_MAIL_QUEUE_SUBMISSION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "mail/queue/trace_fields.h"

namespace mail {

struct Submission {
  std::string store;
  std::string envelope_from;            // "" for the null reverse-path
  std::string sender_name;              // "" to take the From header's
  std::vector<std::string> recipients;  // bare addresses
  std::string raw;                      // RFC 5322 bytes as received
  Reception received;                   // for the Received line
};

enum class SubmitResult {
  kStored,    // in the Outbox, durably
  kRefused,   // the message or its envelope cannot be taken (a data error)
  kTempFail,  // could not be stored now; the sender may try again
};

struct ReadMail;

// Saves the submission; *id gets the service's message id when stored, and
// *error a one-line reason otherwise. `read` (when given) is the raw
// message as the caller already read it, which is then not read again.
SubmitResult Submit(const Submission& submission, int64_t* id,
                    std::string* error, const ReadMail* read = nullptr);

// Whether `address` is a bare address the device takes as a recipient or
// sender: local@domain, no blanks, controls or angle brackets, at most 254
// bytes.
bool PlausibleAddress(const std::string& address);

}  // namespace mail

#endif  // TARNVEX_MAIL_QUEUE_SUBMISSION_H_
