// The end of one message at the gateway: the judgement, the hold reason and
// the record of a held message.
#include "gateway/judgement.h"

#include <cstdio>

#include "base/debug.h"
#include "filter/classify.h"
#include "filter/rule_table.h"
#include "gateway/limits.h"
#include "gateway/queue_listing.h"
#include "mail/mime/mime_library.h"
#include "mail/mime/mime_message.h"
#include "storage/calendar.h"
#include "storage/records.h"
#include "text/ascii.h"
#include "text/field.h"

namespace gateway {
namespace {

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += items[i];
  }
  return out;
}

// A text for one line of a log or reply: controls become '?'.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

}  // namespace

void Envelope::Clear() {
  queue_id.clear();
  sender.clear();
  recipients.clear();
  recipients_whole = true;
}

std::string Envelope::Bare(std::string_view argument) {
  while (!argument.empty() &&
         (argument.front() == ' ' || argument.front() == '\t'))
    argument.remove_prefix(1);
  while (!argument.empty() &&
         (argument.back() == ' ' || argument.back() == '\t'))
    argument.remove_suffix(1);
  if (argument.size() >= 2 && argument.front() == '<' &&
      argument.back() == '>') {
    argument.remove_prefix(1);
    argument.remove_suffix(1);
  }
  return std::string(argument);
}

void Envelope::AddRecipient(std::string_view argument) {
  std::string address = Bare(argument);
  if (address.empty() || address.size() > kMaxAddressBytes ||
      address.find('\0') != std::string::npos) {
    recipients_whole = false;
    if (address.size() > kMaxAddressBytes) address.resize(kMaxAddressBytes);
  }
  recipients.push_back(std::move(address));
}

void MessageBytes::Append(std::string_view text) {
  if (cut_) return;
  if (bytes_.size() + text.size() > kMaxMessageBytes) {
    bytes_.append(text.substr(0, kMaxMessageBytes - bytes_.size()));
    cut_ = true;
    return;
  }
  bytes_.append(text);
}

void MessageBytes::AddHeader(std::string_view name, std::string_view value) {
  if (header_ended_) return;
  Append(name.substr(0, kMaxHeaderFieldBytes));
  Append(": ");
  if (value.size() > kMaxHeaderFieldBytes) {
    Append(FieldText(value, kMaxHeaderFieldBytes + 1));
  } else {
    Append(value);
  }
  Append("\r\n");
}

void MessageBytes::EndOfHeaders() {
  if (header_ended_) return;
  Append("\r\n");
  header_ended_ = true;
}

void MessageBytes::AddBody(std::string_view chunk) {
  if (!header_ended_) EndOfHeaders();
  Append(chunk);
}

void MessageBytes::Clear() {
  bytes_.clear();
  bytes_.shrink_to_fit();
  cut_ = false;
  header_ended_ = false;
}

RecordTexts TextsForRecord(const Envelope& envelope, std::string_view raw) {
  RecordTexts texts;
  mail::EnsureMimeLibrary();
  mail::ReadMail read;
  std::string why;
  // Mail that cannot be read at all is recorded by its envelope alone.
  if (!mail::ReadMessage(raw, &read, &why)) {
    base::DebugOut("Message not read (%s): recorded by its envelope\n",
                   why.c_str());
    read = mail::ReadMail();
  }
  // As the browser shows a sender ("Name <addr>"): the From's name, when it
  // has one, with the envelope's address, which is what Postfix sends from.
  std::string sender = envelope.sender;
  if (!read.from_name.empty())
    sender = Printable(read.from_name) + " <" + envelope.sender + ">";
  texts.sender = FieldText(sender, kSenderField);
  texts.recipients = FieldText(Joined(envelope.recipients), kRecipientsField);
  texts.subject = FieldText(read.subject, kSubjectField);
  texts.body = FieldText(read.text, kBodyTextBytes + 1);
  if (!texts.body.empty()) texts.lowered_body = LowerAscii(texts.body);
  // The device's token text of a new message: the subject's tokens and the
  // lowered text (which, decoded already, carries no MIME part to pick).
  texts.token_text = MessageTokenText(texts.subject, texts.lowered_body);
  ReceivedStampNow(&texts.received_date, &texts.received_time);
  return texts;
}

bool Covered(const Envelope& envelope) {
  RecipientsRead read;
  read.text = Joined(envelope.recipients);
  read.whole = envelope.recipients_whole && !envelope.recipients.empty();
  return RecipientsCovered(kStoreName, read, nullptr,
                           /*may_load_rules=*/false);
}

std::string HoldReason(const Envelope& envelope) {
  std::vector<size_t> uncovered =
      UncoveredRecipients(kStoreName, envelope.recipients);
  std::string reason = "Tarnvex: no rule covers ";
  const size_t start = reason.size();
  size_t named = 0;
  for (size_t index : uncovered) {
    const std::string one = Printable(envelope.recipients[index]);
    const std::string more =
        " and " + std::to_string(uncovered.size() - named) + " more";
    if (reason.size() + 2 + one.size() + more.size() > kMaxReasonBytes &&
        named > 0) {
      reason += more;
      return reason;
    }
    if (reason.size() > start) reason += ", ";
    reason += FieldText(one, kMaxReasonBytes - reason.size());
    ++named;
  }
  if (named == 0) reason += "the recipients";
  return reason;
}

Judge::Judge(HeldTable* held, std::function<void()> rules_moved)
    : held_(held), rules_moved_(std::move(rules_moved)) {}

JudgeCounts Judge::Counts() {
  base::MutexLock hold(&counts_lock_);
  return counts_;
}

base::Status Judge::Record(const Envelope& envelope, std::string_view raw,
                           int64_t now_ms) {
  const RecordTexts texts = TextsForRecord(envelope, raw);
  int32_t id = -1;
  base::Status added = records::Add(
      kStoreName, texts.sender.c_str(), texts.recipients.c_str(),
      texts.subject.c_str(), texts.body.c_str(), texts.lowered_body.c_str(),
      texts.token_text.c_str(), 0, texts.received_date.c_str(),
      texts.received_time.c_str(), &id);
  if (!added.ok()) return added;
  // A message alike was recorded before and released since: held again.
  int32_t status = 0;
  if (records::StatusOf(kStoreName, id, &status, nullptr) && status != 0) {
    base::Status reset = records::SetStatus(kStoreName, id, 0);
    if (!reset.ok()) return reset;
  }
  HeldEntry entry;
  entry.host = envelope.host;
  entry.queue_id = envelope.queue_id;
  entry.record_id = id;
  entry.sender = envelope.sender;
  entry.recipients = envelope.recipients;
  entry.received_date = texts.received_date;
  entry.received_time = texts.received_time;
  entry.held_at_ms = now_ms;
  entry.status = kHeld;
  return held_->Insert(&entry);
}

Decision Judge::EndOfEnvelope(const Envelope& envelope) {
  Decision decision;
  try {
    if (RulesLoadFailed()) {
      decision.text = "Tarnvex cannot read its rules now; try again later";
    } else {
      decision.verdict =
          Covered(envelope) ? Verdict::kContinue : Verdict::kReadOn;
      if (decision.verdict == Verdict::kReadOn) return decision;
    }
  } catch (...) {
    base::DebugCaught("EndOfEnvelope");
    decision = Decision();
    decision.text = "Tarnvex cannot judge the message now; try again later";
  }
  base::MutexLock hold(&counts_lock_);
  ++counts_.judged;
  if (decision.verdict == Verdict::kTempFail) ++counts_.failed;
  return decision;
}

Decision Judge::EndOfMessage(const Envelope& envelope, std::string_view raw,
                             int64_t now_ms) {
  Decision decision;
  try {
    {
      base::MutexLock hold(&counts_lock_);
      ++counts_.judged;
    }
    if (RulesLoadFailed()) {
      decision.text = "Tarnvex cannot read its rules now; try again later";
    } else {
      const uint64_t generation = RuleGeneration();
      if (Covered(envelope)) {
        decision.verdict = Verdict::kContinue;
        return decision;
      }
      if (envelope.queue_id.empty()) {
        // Without it nothing could release the message again.
        decision.text =
            "Tarnvex has no queue id for the message (Postfix macro i)";
      } else if (!IsPostfixQueueId(envelope.queue_id)) {
        // Postfix never makes such an id: whoever reached the socket did,
        // and the release would hand it to postsuper and postqueue.
        decision.text =
            "Tarnvex has no usable queue id for the message (Postfix macro i)";
      } else {
        base::Status recorded;
        {
          base::MutexLock hold(&record_lock_);
          recorded = Record(envelope, raw, now_ms);
        }
        if (!recorded.ok()) {
          std::fprintf(stderr, "%s: %s: the hold cannot be recorded: %s\n",
                       kProgramName, Printable(envelope.queue_id).c_str(),
                       recorded.ToString().c_str());
          decision.text =
              "Tarnvex cannot record the message now; try again later";
        } else {
          // Judged under rules that have changed since: the worker's pass
          // for the change may have run before this row was there.
          if (RuleGeneration() != generation && rules_moved_) rules_moved_();
          decision.verdict = Verdict::kQuarantine;
          decision.text = HoldReason(envelope);
          std::fprintf(stderr, "%s: held %s%s%s: %s\n", kProgramName,
                       Printable(envelope.queue_id).c_str(),
                       envelope.host.empty() ? "" : " on ",
                       Printable(envelope.host).c_str(), decision.text.c_str());
          base::MutexLock hold(&counts_lock_);
          ++counts_.held;
          return decision;
        }
      }
    }
  } catch (...) {
    base::DebugCaught("EndOfMessage");
    decision = Decision();
    decision.text = "Tarnvex cannot judge the message now; try again later";
  }
  base::MutexLock hold(&counts_lock_);
  ++counts_.failed;
  decision.verdict = Verdict::kTempFail;
  return decision;
}

}  // namespace gateway
