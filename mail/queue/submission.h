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

#include "base/status.h"
#include "device/service/service.h"
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

struct ReadMail;

// Saves the submission, with a full sync before it returns: the service's
// message id, or why not. A message or envelope that cannot be taken (no
// recipients, one that is no address, a message that cannot be read or is
// over the service's limits) is an invalid argument, a store that is not
// there not found; anything else (a locked or full service file, a service
// that cannot be opened now) says what the file did. `read` (when given) is
// the raw message as the caller already read it, which is then not read
// again.
base::StatusOr<int64_t> Submit(const Submission& submission,
                               const ReadMail* read = nullptr);
// Submit's first half: the submission checked and read into what the
// service saves (device::SaveOutgoingMail or, for several at once,
// SaveOutgoingMails); refused as Submit refuses it.
base::Status PrepareSubmission(const Submission& submission,
                               const ReadMail* read, device::OutgoingMail* out);

// How a submission that failed with `failure` is answered: the one place
// that sorts the kinds. The sender's data error (invalid argument, not
// found) is permanent: SMTP 554 5.6.0 and sendmail's EX_DATAERR; anything
// else may pass on a later try: 451 4.3.0 and EX_TEMPFAIL.
struct FailureAnswer {
  bool permanent = false;
  int smtp_code = 0;
  const char* enhanced = "";
  int exit_status = 0;
};
FailureAnswer AnswerFor(const base::Status& failure);

// Whether `address` is a bare address the device takes as a recipient or
// sender: local@domain, no blanks, controls or angle brackets, at most 254
// bytes.
bool PlausibleAddress(const std::string& address);

}  // namespace mail

#endif  // TARNVEX_MAIL_QUEUE_SUBMISSION_H_
