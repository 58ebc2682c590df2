// The gateway's end of message: one message as libmilter hands it over
// (envelope, header fields, body chunks), the one judgement of its envelope
// recipients (filter/classify.h, as the device's e-mail store gets it), and
// the record of a held one: the message database's record (Gateway.db, Msg:
// sender, recipients, decoded subject and text, token text, digest, as
// mail/mime reads them for the device) and its row in the held table (queue
// id, every envelope recipient).
//
// No libmilter here: gateway/milter.cpp feeds it, the tests and the fuzz
// target call it directly. Thread-safe: every session of the milter calls
// EndOfMessage on one Judge.
#ifndef TARNVEX_GATEWAY_JUDGEMENT_H_
#define TARNVEX_GATEWAY_JUDGEMENT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"
#include "gateway/held_table.h"

namespace gateway {

// One message's envelope as the milter saw it.
struct Envelope {
  std::string host;                     // macro j: the Postfix host's name
  std::string queue_id;                 // macro i
  std::string sender;                   // MAIL FROM, angle brackets taken off
  std::vector<std::string> recipients;  // RCPT TO, every one, in order
  // False when a recipient could not be read whole (too long, a NUL, no
  // address): the message is then never covered.
  bool recipients_whole = true;

  void Clear();
  // An address as libmilter gives it ("<a@b>", maybe with blanks around).
  static std::string Bare(std::string_view argument);
  void AddRecipient(std::string_view argument);
};

// The message's bytes as Postfix sends them to a milter, put back together:
// each header field "Name: value" with CRLF, an empty line, the body. Bytes
// beyond kMaxMessageBytes are not kept (cut() says so).
class MessageBytes {
 public:
  void AddHeader(std::string_view name, std::string_view value);
  void EndOfHeaders();
  void AddBody(std::string_view chunk);
  void Clear();
  std::string_view bytes() const { return bytes_; }
  bool cut() const { return cut_; }

 private:
  void Append(std::string_view text);
  std::string bytes_;
  bool cut_ = false;
  bool header_ended_ = false;
};

// The texts of a held message's record, cut to the record's fields.
struct RecordTexts {
  std::string sender;
  std::string recipients;  // joined with ", ", cut to its field
  std::string subject;
  std::string body;
  std::string lowered_body;
  std::string token_text;
  std::string received_date;
  std::string received_time;
};
RecordTexts TextsForRecord(const Envelope& envelope, std::string_view raw);

// The one judgement: one rule covers every envelope recipient. Never loads
// the rules (the release worker keeps them loaded); nothing is covered while
// none are loaded.
bool Covered(const Envelope& envelope);

// "Tarnvex: no rule covers a@b, c@d" (the recipients that hold it, cut with
// "and N more"), printable and on one line.
std::string HoldReason(const Envelope& envelope);

enum class Verdict {
  kContinue,    // covered: Postfix delivers
  kQuarantine,  // into Postfix's hold queue, with `text` as the reason
  kTempFail,    // 4xx, with `text` as the reply's words
  kReadOn,      // (end of envelope only) not covered now: judged again at
                // the end of the message, whose content its record needs
};
struct Decision {
  Verdict verdict = Verdict::kTempFail;
  std::string text;
};

// What the milter counts, for its closing line.
struct JudgeCounts {
  uint64_t judged = 0;
  uint64_t held = 0;
  uint64_t failed = 0;  // answered tempfail
};

class Judge {
 public:
  // `held`: the open held table. `rules_moved`: called when the rules
  // changed while a message was judged and recorded as held, so that the
  // release worker judges it again under the new ones.
  Judge(HeldTable* held, std::function<void()> rules_moved);

  // The end of the envelope (SMTP's DATA): every recipient is known, and a
  // covered message needs nothing more (kContinue: the milter accepts it
  // without reading its content); rules that cannot be read give kTempFail
  // at once; anything else kReadOn.
  Decision EndOfEnvelope(const Envelope& envelope);

  // The end of one message. Fail closed: rules that could not be read, a
  // record that could not be written, or a held message without a queue id
  // give kTempFail, never kContinue.
  Decision EndOfMessage(const Envelope& envelope, std::string_view raw,
                        int64_t now_ms);

  JudgeCounts Counts();

 private:
  base::Status Record(const Envelope& envelope, std::string_view raw,
                      int64_t now_ms) REQUIRES(record_lock_);

  HeldTable* held_;
  std::function<void()> rules_moved_;
  // One held message is recorded at a time: records::Add looks up, counts
  // and inserts in three steps, which two sessions must not interleave.
  base::Mutex record_lock_;
  base::Mutex counts_lock_;
  JudgeCounts counts_ GUARDED_BY(counts_lock_);
};

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_JUDGEMENT_H_
