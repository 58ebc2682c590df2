// The relay's side of an SMTP transaction as delivery reads it: the input is
// lines, those beginning with '>' what the client sent, the others what the
// relay answered (any bytes). ToCrlf is fed the same bytes.
//
// Checked: every recipient gets exactly one outcome, in order, named as
// given; a reply kept for people stays within its bound and holds no line
// break; a recipient the relay accepted and whose data it accepted is the
// only one delivered; ToCrlf leaves no bare CR or LF.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mail/relay/delivery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  mail::SmtpConversation conversation;
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view line = input.substr(start, end - start + 1);
    if (!line.empty() && line[0] == '>') {
      conversation.Sent(line.substr(1));
    } else {
      conversation.Received(line);
    }
    start = end + 1;
  }
  const std::vector<std::string> recipients = {"a@example.org", "b@example.org",
                                               "c@example.org"};
  const auto outcomes = conversation.Outcomes(recipients, "");
  if (outcomes.size() != recipients.size()) std::abort();
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].recipient != recipients[i]) std::abort();
    // The code, a blank and at most 1000 bytes of words, or the fixed
    // "no answer" text with the last reply in it.
    if (outcomes[i].reply.size() > 1200) std::abort();
    if (outcomes[i].reply.find_first_of("\r\n") != std::string::npos)
      std::abort();
  }

  const std::string wire = mail::ToCrlf(input);
  for (size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] == '\n' && (i == 0 || wire[i - 1] != '\r')) std::abort();
    if (wire[i] == '\r' && (i + 1 == wire.size() || wire[i + 1] != '\n'))
      std::abort();
  }
  return 0;
}
