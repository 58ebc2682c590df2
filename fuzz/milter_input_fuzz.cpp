// What tarnvex-milter reads from Postfix, as libmilter hands it over: the
// envelope sender, the envelope recipients, the header fields one by one
// and the body in chunks. The input: the sender on the first line, one
// recipient a line up to an empty line, then the message; its header
// fields (up to the first empty line) are split at their first colon and
// handed over one by one, the rest in chunks of the input's last byte
// (plus one) bytes.
//
// Checked: the message is put back together within its limit; the hold
// reason is one printable line within its limit and begins as Postfix is
// told; the record's texts fit their fields; a recipient list with an
// unreadable address is never covered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "gateway/judgement.h"
#include "gateway/limits.h"

namespace {

std::string_view NextLine(std::string_view* text) {
  const size_t end = text->find('\n');
  std::string_view line = text->substr(0, end);
  text->remove_prefix(end == std::string_view::npos ? text->size() : end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t chunk = size > 0 ? static_cast<size_t>(data[size - 1]) + 1 : 1;
  gateway::Envelope envelope;
  envelope.queue_id = "4FUZZ";
  envelope.sender = gateway::Envelope::Bare(NextLine(&input));
  for (int n = 0; !input.empty() && n < 2000; ++n) {
    std::string_view line = NextLine(&input);
    if (line.empty()) break;
    envelope.AddRecipient(line);
  }
  gateway::MessageBytes bytes;
  while (!input.empty()) {
    std::string_view line = NextLine(&input);
    if (line.empty()) break;
    const size_t colon = line.find(':');
    bytes.AddHeader(line.substr(0, colon), colon == std::string_view::npos
                                               ? ""
                                               : line.substr(colon + 1));
  }
  bytes.EndOfHeaders();
  while (!input.empty()) {
    bytes.AddBody(input.substr(0, chunk));
    input.remove_prefix(std::min(chunk, input.size()));
  }
  Check(bytes.bytes().size() <= gateway::kMaxMessageBytes);

  // No rules are loaded: nothing is covered, whatever the envelope.
  Check(!gateway::Covered(envelope));
  const std::string reason = gateway::HoldReason(envelope);
  Check(reason.rfind("Tarnvex: no rule covers ", 0) == 0);
  Check(reason.size() <= gateway::kMaxReasonBytes + 32);
  for (char c : reason)
    Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);

  const gateway::RecordTexts texts =
      gateway::TextsForRecord(envelope, bytes.bytes());
  Check(texts.sender.size() < gateway::kSenderField);
  Check(texts.recipients.size() < gateway::kRecipientsField);
  Check(texts.subject.size() < gateway::kSubjectField);
  Check(texts.body.size() <= gateway::kBodyTextBytes);
  Check(texts.lowered_body.size() == texts.body.size());
  return 0;
}
