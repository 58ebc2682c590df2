// The submission session fed a client's bytes in pieces. The first byte
// picks the connection (TLS, STARTTLS offered, AUTH without TLS, whether the
// store refuses), the second seeds the piece sizes; the rest is what the
// client sends. The same bytes are also fed whole to a second session.
//
// Checked on the way: the output is CRLF-terminated reply lines, each a
// three-digit code and a space or hyphen; the bytes the session holds never
// exceed its limits; an accepted message has CRLF line ends only, no NUL,
// fits the size limit and has recipients within their limit; and the split
// does not change the replies (unless STARTTLS dropped the rest of a piece),
// nor does a store that answers later.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/smtpd/smtp_session.h"

namespace {

constexpr std::size_t kMaxMessage = 4096;
constexpr std::size_t kMaxRecipients = 5;

void CheckOutput(const std::string& out) {
  std::size_t start = 0;
  while (start < out.size()) {
    const std::size_t end = out.find("\r\n", start);
    if (end == std::string::npos) std::abort();
    const std::string_view line(out.data() + start, end - start);
    if (line.size() < 4) std::abort();
    for (int i = 0; i < 3; ++i)
      if (line[i] < '0' || line[i] > '9') std::abort();
    if (line[0] < '2' || line[0] > '5') std::abort();
    if (line[3] != ' ' && line[3] != '-') std::abort();
    if (line.find_first_of("\r\n") != std::string_view::npos) std::abort();
    start = end + 2;
  }
}

void CheckMessage(const mail::Envelope& envelope, const std::string& raw) {
  if (raw.size() > kMaxMessage) std::abort();
  if (raw.find('\0') != std::string::npos) std::abort();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) std::abort();
    if (raw[i] == '\r' && (i + 1 == raw.size() || raw[i + 1] != '\n'))
      std::abort();
  }
  if (!raw.empty() && raw.compare(raw.size() - 2, 2, "\r\n") != 0) std::abort();
  if (envelope.forward_paths.empty() ||
      envelope.forward_paths.size() > kMaxRecipients)
    std::abort();
  if (envelope.auth_user.empty()) std::abort();
}

mail::Reply StoreReply(bool refuse) {
  return refuse ? mail::Reply{451, "4.3.0", "busy"}
                : mail::Reply{250, "2.0.0", "stored"};
}

mail::SessionHooks Hooks(bool refuse, bool handed_over) {
  mail::SessionHooks hooks;
  hooks.check_password = [](const std::string& user,
                            const std::string& password) {
    return user == "alice" && password == "secret";
  };
  if (handed_over) {
    hooks.submit_message = [](const mail::Envelope& envelope, std::string raw) {
      CheckMessage(envelope, raw);
    };
    return hooks;
  }
  hooks.accept_message = [refuse](const mail::Envelope& envelope,
                                  std::string raw) {
    CheckMessage(envelope, raw);
    return StoreReply(refuse);
  };
  return hooks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  uint32_t seed = data[1] | 0x100u;
  const std::string_view input(reinterpret_cast<const char*>(data) + 2,
                               size - 2);

  mail::SessionConfig config;
  config.server_name = "fuzz.local";
  config.max_message_size = kMaxMessage;
  config.max_recipients = kMaxRecipients;
  config.tls_active = flags & 1;
  config.offer_starttls = flags & 2;
  config.auth_without_tls = flags & 4;
  config.max_errors = (flags & 8) ? 5 : mail::kDefaultMaxErrors;
  const bool refuse = flags & 16;
  // The split session hands its messages over and is answered after each
  // piece, as the server's storing thread answers: the replies must be
  // the same as those of the whole session, which stores as it goes.
  const bool handed_over = flags & 64;

  mail::SmtpSession split(config, Hooks(refuse, handed_over));
  CheckOutput(split.Greeting());
  std::string split_out;
  std::size_t at = 0;
  while (at < input.size() && !split.Closed()) {
    seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
    const std::size_t piece = 1 + seed % (1u << (seed % 9));
    split.Feed(input.substr(at, piece));
    at += piece;
    while (split.AwaitingStore()) split.MessageStored(StoreReply(refuse));
    const std::string out = split.TakeOutput();
    CheckOutput(out);
    split_out += out;
    if (split.BufferedBytes() > split.MaxBufferedBytes()) std::abort();
    if (split.BufferedBytes() > kMaxMessage + mail::kDefaultMaxAuthLine)
      std::abort();
  }
  if (flags & 32) {
    split.TimedOut();
    CheckOutput(split.TakeOutput());
    if (!split.Closed()) std::abort();
  }

  mail::SmtpSession whole(config, Hooks(refuse, false));
  whole.Feed(input);
  const std::string whole_out = whole.TakeOutput();
  CheckOutput(whole_out);
  if (!split.TlsRequested() && !whole.TlsRequested() && whole_out != split_out)
    std::abort();
  return 0;
}
