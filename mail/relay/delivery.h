// Delivery of one message through the relay with libcurl's SMTP client: one
// transaction a message (MAIL, an RCPT for each recipient, DATA), over one
// connection kept open and reused from message to message.
//
// Each recipient gets its own answer. libcurl goes on past a refused RCPT
// when asked to (MAIL_RCPT_ALLOWFAILS) but reports only the last reply
// code; the commands it sends and every reply line the relay gives pass its
// debug callback, though, so SmtpConversation reads the transaction there
// and pairs each RCPT with its reply (libcurl sends them one at a time, in
// the order given). That is one transaction a message, not one a
// recipient: the relay gets the message once, as a mail server sends it.
//
// Classification: 2xx delivered; 4xx deferred (tried again later); 5xx
// failed, with the relay's reply. A connection refused or dropped, a TLS
// or DNS failure, a certificate that does not verify, a refused login:
// deferred, with the reason, for these are the relay's or the settings'
// faults, not the recipient's.
#ifndef TARNVEX_MAIL_RELAY_DELIVERY_H_
#define TARNVEX_MAIL_RELAY_DELIVERY_H_

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mail/queue/deliveries.h"
#include "mail/relay/relay_settings.h"

namespace mail {

// Readies libcurl for the process; call once before threads that deliver
// start (libcurl's own initialisation is not thread-safe).
void InitDeliveryLibrary();

// The verdict for a recipient of an SMTP reply code to MAIL, RCPT, DATA or
// the end of the data: 2xx delivered, 5xx failed, anything else deferred.
mail::DeliveryVerdict VerdictOfReply(int code);

// `raw` with every line end as SMTP sends it (CRLF): a bare LF or a bare CR
// becomes CRLF. A message kept with LF line ends (sendmail's) goes out so.
std::string ToCrlf(std::string_view raw);

// One SMTP transaction as the client's debug output shows it: the lines the
// client sent and the reply lines it read, in order. Knows which reply
// answers MAIL, each RCPT, DATA and the end of the data.
class SmtpConversation {
 public:
  struct Reply {
    int code = 0;      // 0: none read
    std::string text;  // its lines joined by blanks, without line ends
  };

  // A line the client sent (a command; credentials are not kept).
  void Sent(std::string_view line);
  // A reply line read (one line of a reply, "250-..." or "250 ...").
  void Received(std::string_view line);

  // Each recipient's outcome, `recipients` in the order their RCPT
  // commands went. `failure` says why the transaction ended early ("" when
  // it completed): recipients without an answer are deferred with it.
  std::vector<mail::DeliveryOutcome> Outcomes(
      const std::vector<std::string>& recipients,
      const std::string& failure) const;

  // Whether the relay answered MAIL in this transaction.
  bool MailAnswered() const { return mail_.code != 0; }
  // The last complete reply read.
  const Reply& last() const { return last_; }

 private:
  enum class Awaiting { kOther, kMail, kRcpt, kData, kEndOfData };
  Awaiting awaiting_ = Awaiting::kOther;
  std::string partial_;  // the lines of a multi-line reply so far
  Reply mail_, data_, end_, last_;
  std::vector<Reply> rcpt_;
};

// Network waits, each bounded.
struct DeliveryTimeouts {
  long connect_ms = 60 * 1000;
  long reply_ms = 5 * 60 * 1000;  // for each reply of the relay
  long stall_s = 3 * 60;          // no byte moving for this long
  long total_ms = 30 * 60 * 1000;
};

// How the last transaction went for the relay itself: no transaction was
// tried (nothing sendable), the relay answered MAIL, or it failed before
// that (not reached, TLS or login failed, no answer in time; not the
// transport's own stop).
enum class RelayContact { kNone, kAnswered, kFault };

class Deliverer {
 public:
  // `cancel` (when given): a transaction under way ends, deferred, soon
  // after it turns true.
  explicit Deliverer(const RelaySettings& relay,
                     const DeliveryTimeouts& timeouts = {},
                     const std::atomic<bool>* cancel = nullptr);
  ~Deliverer();
  Deliverer(const Deliverer&) = delete;
  Deliverer& operator=(const Deliverer&) = delete;

  // One transaction: `message` (RFC 5322; line ends as ToCrlf makes them)
  // from `envelope_from` ("" for the null sender) to each of `recipients`
  // (bare addresses). Every recipient gets an outcome, in their order.
  std::vector<mail::DeliveryOutcome> Deliver(
      const std::string& envelope_from,
      const std::vector<std::string>& recipients, std::string_view message);
  // How the last Deliver went for the relay.
  RelayContact last_contact() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mail

#endif  // TARNVEX_MAIL_RELAY_DELIVERY_H_
