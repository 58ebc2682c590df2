// The SMTP submission state machine: commands, replies, AUTH, DATA and its
// limits, without any I/O.
#include "device/mail/smtp_session.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

namespace mail {
namespace {

// Sizes of the parts of a path (RFC 5321 4.5.3.1).
constexpr std::size_t kMaxLocalPart = 64;
constexpr std::size_t kMaxDomain = 255;
constexpr std::size_t kMaxPath = 256;
// Longest text of a message line without its CRLF for a 1000-octet limit.
constexpr std::size_t kCrlf = 2;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsAlpha(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(unsigned char c) { return IsAlpha(c) || IsDigit(c); }

// atext of RFC 5322, without the UTF-8 extension.
bool IsAtext(unsigned char c) {
  if (IsAlnum(c)) return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~").find(char(c)) !=
         std::string_view::npos;
}

// Well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = s[i];
    std::size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const unsigned char t = s[i + k];
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
      return false;
    i += n + 1;
  }
  return true;
}

// A domain: dot-separated labels of letters, digits and inner hyphens; with
// SMTPUTF8 a label may also hold UTF-8 (a U-label).
bool ValidDomain(std::string_view d, bool utf8) {
  if (d.empty() || d.size() > kMaxDomain) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = d.find('.', start);
    const std::string_view label =
        d.substr(start, dot == std::string_view::npos ? d.npos : dot - start);
    if (label.empty() || label.size() > 63) return false;
    for (std::size_t i = 0; i < label.size(); ++i) {
      const unsigned char c = label[i];
      const bool edge = i == 0 || i + 1 == label.size();
      if (c >= 0x80) {
        if (!utf8) return false;
      } else if (!IsAlnum(c) && (edge || c != '-')) {
        return false;
      }
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return true;
}

bool ValidIpv4(std::string_view s) {
  int parts = 0;
  std::size_t i = 0;
  while (true) {
    std::size_t digits = 0;
    int value = 0;
    while (i < s.size() && IsDigit(s[i]) && digits < 4) {
      value = value * 10 + (s[i] - '0');
      ++i, ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (i == s.size()) break;
    if (s[i] != '.' || parts == 4) return false;
    ++i;
  }
  return parts == 4;
}

// "[1.2.3.4]", "[IPv6:...]" or "[tag:content]".
bool ValidAddressLiteral(std::string_view lit) {
  if (lit.size() < 3 || lit.front() != '[' || lit.back() != ']') return false;
  const std::string_view in = lit.substr(1, lit.size() - 2);
  if (ValidIpv4(in)) return true;
  const std::size_t colon = in.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const std::string_view tag = in.substr(0, colon);
  const std::string_view content = in.substr(colon + 1);
  if (content.empty()) return false;
  if (EqualsNoCase(tag, "IPv6")) {
    if (content.size() > 45 || content.find(':') == content.npos) return false;
    for (unsigned char c : content)
      if (!(IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
            c == ':' || c == '.'))
        return false;
    return true;
  }
  if (!IsAlnum(tag.front()) || !IsAlnum(tag.back())) return false;
  for (unsigned char c : tag)
    if (!IsAlnum(c) && c != '-') return false;
  for (unsigned char c : content)
    if (c < 33 || c > 126 || c == '[' || c == '\\' || c == ']') return false;
  return true;
}

enum class PathError { kNone, kSyntax, kMailbox, kUtf8 };

struct ParsedPath {
  PathError error = PathError::kNone;
  std::string address;  // the bare address; empty for "<>"
  bool null_path = false;
  bool postmaster = false;
  std::string_view rest;  // after the closing '>'
};

// Reads the local part at the front of `s` (dot-string or quoted string) and
// returns its length, or 0 when there is none.
std::size_t LocalPartLength(std::string_view s, bool utf8) {
  std::size_t i = 0;
  if (!s.empty() && s[0] == '"') {
    ++i;
    while (i < s.size() && s[i] != '"') {
      const unsigned char c = s[i];
      if (c == '\\') {
        if (i + 1 >= s.size()) return 0;
        const unsigned char q = s[i + 1];
        if (q < 32 || q > 126) return 0;
        i += 2;
        continue;
      }
      if (c >= 0x80 ? !utf8 : (c < 32 || c > 126)) return 0;
      ++i;
    }
    if (i >= s.size()) return 0;
    return i + 1;  // the closing quote
  }
  bool atom_empty = true;
  while (i < s.size()) {
    const unsigned char c = s[i];
    if (c == '.') {
      if (atom_empty) return 0;
      atom_empty = true;
    } else if (IsAtext(c) || (utf8 && c >= 0x80)) {
      atom_empty = false;
    } else {
      break;
    }
    ++i;
  }
  return atom_empty ? 0 : i;
}

// A path of MAIL or RCPT: "<" [source route ":"] mailbox ">" or "<>".
ParsedPath ParsePath(std::string_view s, bool utf8) {
  ParsedPath p;
  if (s.empty() || s[0] != '<') {
    p.error = PathError::kSyntax;
    return p;
  }
  std::size_t i = 1;
  if (i < s.size() && s[i] == '>') {
    p.null_path = true;
    p.rest = s.substr(i + 1);
    return p;
  }
  // Source route: "@a,@b:" is read and dropped.
  if (i < s.size() && s[i] == '@') {
    const std::size_t colon = s.find(':', i);
    if (colon == s.npos) {
      p.error = PathError::kSyntax;
      return p;
    }
    std::string_view route = s.substr(i, colon - i);
    while (!route.empty()) {
      const std::size_t comma = route.find(',');
      const std::string_view hop = route.substr(0, comma);
      if (hop.size() < 2 || hop[0] != '@' || !ValidDomain(hop.substr(1), utf8))
        p.error = PathError::kMailbox;
      route =
          comma == route.npos ? std::string_view() : route.substr(comma + 1);
      if (comma != std::string_view::npos && route.empty())
        p.error = PathError::kMailbox;
    }
    i = colon + 1;
  }
  const std::size_t local_length = LocalPartLength(s.substr(i), utf8);
  const std::size_t close = [&] {
    // The '>' that ends the path: after the local part, never inside quotes.
    std::size_t from = i + local_length;
    return s.find('>', from);
  }();
  if (close == s.npos) {
    p.error = PathError::kSyntax;
    return p;
  }
  p.rest = s.substr(close + 1);
  const std::string_view mailbox = s.substr(i, close - i);
  if (p.error != PathError::kNone) return p;
  if (mailbox.size() > kMaxPath) {
    p.error = PathError::kMailbox;
    return p;
  }
  if (!IsUtf8(mailbox)) {
    p.error = PathError::kMailbox;
    return p;
  }
  bool has_8bit = false;
  for (unsigned char c : mailbox) has_8bit |= c >= 0x80;
  if (EqualsNoCase(mailbox, "postmaster")) {
    p.postmaster = true;
    p.address = std::string(mailbox);
    return p;
  }
  if (local_length == 0 || local_length > kMaxLocalPart ||
      local_length >= mailbox.size() || mailbox[local_length] != '@') {
    p.error = has_8bit && !utf8 ? PathError::kUtf8 : PathError::kMailbox;
    return p;
  }
  const std::string_view domain = mailbox.substr(local_length + 1);
  const bool domain_ok =
      domain.size() <= kMaxDomain &&
      (ValidDomain(domain, utf8) ||
       (!domain.empty() && domain[0] == '[' && ValidAddressLiteral(domain)));
  if (!domain_ok) {
    p.error = has_8bit && !utf8 ? PathError::kUtf8 : PathError::kMailbox;
    return p;
  }
  p.address = std::string(mailbox);
  return p;
}

// Parameters after a path: SP-separated keyword[=value].
struct Parameter {
  std::string_view keyword;
  std::string_view value;
  bool has_value = false;
};

std::optional<std::vector<Parameter>> ParseParameters(std::string_view rest) {
  std::vector<Parameter> params;
  while (!rest.empty()) {
    if (rest[0] != ' ') return std::nullopt;
    while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
    if (rest.empty()) break;
    const std::size_t end = rest.find(' ');
    const std::string_view item = rest.substr(0, end);
    rest = end == rest.npos ? std::string_view() : rest.substr(end);
    Parameter param;
    const std::size_t eq = item.find('=');
    param.keyword = item.substr(0, eq);
    if (param.keyword.empty() || !IsAlnum(param.keyword[0]))
      return std::nullopt;
    for (unsigned char c : param.keyword)
      if (!IsAlnum(c) && c != '-') return std::nullopt;
    if (eq != item.npos) {
      param.has_value = true;
      param.value = item.substr(eq + 1);
      if (param.value.empty()) return std::nullopt;
      for (unsigned char c : param.value)
        if (c < 33 || c > 126 || c == '=') return std::nullopt;
    }
    params.push_back(param);
  }
  return params;
}

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64 ("=" padding optional); nullopt when it is not base64.
std::optional<std::string> DecodeBase64(std::string_view s) {
  while (!s.empty() && s.back() == '=' && s.size() % 4 != 1) {
    s.remove_suffix(1);
    if (s.size() % 4 == 0) break;
  }
  if (s.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(s.size() * 3 / 4);
  uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : s) {
    const int v = Base64Value(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(char((acc >> bits) & 0xFF));
    }
  }
  return out;
}

void Wipe(std::string& secret) {
  std::fill(secret.begin(), secret.end(), '\0');
  secret.clear();
}

// A reply text from outside the session on one line of printable text.
std::string OneLine(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 400)) out.push_back(c < 32 ? ' ' : c);
  return out;
}

bool ValidEnhanced(std::string_view e, int code) {
  // class "." subject "." detail, the class that of the code.
  if (e.size() < 5 || e[0] - '0' != code / 100 || e[1] != '.') return false;
  int dots = 0;
  std::size_t run = 0;
  for (std::size_t i = 2; i < e.size(); ++i) {
    if (e[i] == '.') {
      if (run == 0) return false;
      ++dots, run = 0;
    } else if (IsDigit(e[i]) && run < 3) {
      ++run;
    } else {
      return false;
    }
  }
  return dots == 1 && run > 0;
}

}  // namespace

SmtpSession::SmtpSession(SessionConfig config, SessionHooks hooks)
    : config_(std::move(config)), hooks_(std::move(hooks)) {
  config_.max_command_line =
      std::max(config_.max_command_line, kMinCommandLine);
  config_.max_auth_line =
      std::max(config_.max_auth_line, config_.max_command_line);
  config_.max_text_line = std::max(config_.max_text_line, kCrlf + 1);
  config_.max_errors = std::max(config_.max_errors, 1);
  tls_ = config_.tls_active;
}

std::string SmtpSession::Greeting() const {
  return "220 " + config_.server_name + " ESMTP ready\r\n";
}

std::string SmtpSession::TakeOutput() {
  std::string out;
  out.swap(out_);
  return out;
}

std::size_t SmtpSession::MaxBufferedBytes() const {
  return config_.max_auth_line + config_.max_message_size;
}

std::chrono::seconds SmtpSession::IdleTimeout() const {
  return phase_ == Phase::kData ? kDataIdleTimeout : kCommandIdleTimeout;
}

void SmtpSession::TimedOut() {
  if (closed_) return;
  message_.clear();
  message_.shrink_to_fit();
  line_.clear();
  Send(421, "4.4.2", config_.server_name + " Idle too long, closing");
  closed_ = true;
}

bool SmtpSession::AuthAllowed() const {
  return tls_ || config_.auth_without_tls;
}

void SmtpSession::Send(int code, std::string_view enhanced,
                       std::string_view text) {
  out_ += std::to_string(code);
  out_ += ' ';
  if (esmtp_ && !enhanced.empty()) {
    out_ += enhanced;
    out_ += ' ';
  }
  out_ += text;
  out_ += "\r\n";
  if (code >= 500) {
    if (++errors_in_row_ >= config_.max_errors && !closed_) {
      Send(421, "4.7.0", config_.server_name + " Too many errors, closing");
      closed_ = true;
    }
  } else if (code < 400) {
    errors_in_row_ = 0;
  }
}

void SmtpSession::CancelAuth() {
  phase_ = Phase::kCommand;
  Wipe(login_user_);
}

void SmtpSession::ResetTransaction() {
  mail_given_ = false;
  envelope_ = Envelope();
}

void SmtpSession::ResetToFresh() {
  ResetTransaction();
  hello_ = false;
  esmtp_ = false;
  authenticated_ = false;
  auth_user_.clear();
  Wipe(login_user_);
  errors_in_row_ = 0;
  phase_ = Phase::kCommand;
  line_.clear();
  discarding_ = false;
}

void SmtpSession::Feed(std::string_view bytes) {
  drop_rest_ = false;
  while (!bytes.empty() && !closed_ && !drop_rest_) {
    const std::size_t used =
        phase_ == Phase::kData ? FeedData(bytes) : FeedLine(bytes);
    bytes.remove_prefix(used);
  }
}

std::size_t SmtpSession::LineLimit() const {
  if (phase_ != Phase::kCommand || StartsNoCase(line_, "AUTH "))
    return config_.max_auth_line;
  return config_.max_command_line;
}

std::size_t SmtpSession::FeedLine(std::string_view bytes) {
  const std::size_t lf = bytes.find('\n');
  const std::size_t take = lf == bytes.npos ? bytes.size() : lf;
  const std::size_t used = lf == bytes.npos ? bytes.size() : lf + 1;
  if (discarding_) {
    if (lf != bytes.npos) discarding_ = false;
    return used;
  }
  // line_ holds the line without its LF; the limit counts CR and LF.
  const std::size_t room = config_.max_auth_line - 1;
  bool too_long = line_.size() + take > room;
  if (!too_long) {
    line_.append(bytes.substr(0, take));
    too_long = line_.size() + 1 > LineLimit();
  }
  if (too_long) {
    Wipe(line_);
    CancelAuth();
    Send(500, "5.5.2", "Line too long");
    discarding_ = lf == bytes.npos;
    return used;
  }
  if (lf != bytes.npos) {
    const bool bare_lf = line_.empty() || line_.back() != '\r';
    if (!bare_lf) line_.pop_back();
    LineDone(bare_lf);
  }
  return used;
}

void SmtpSession::LineDone(bool bare_lf) {
  std::string line;
  line.swap(line_);
  const char* broken = nullptr;
  if (bare_lf) {
    broken = "Line must end with CRLF, not a bare LF";
  } else if (line.find('\r') != line.npos) {
    broken = "Bare CR in a command line";
  } else if (line.find('\0') != line.npos) {
    broken = "NUL byte in a command line";
  }
  if (broken) {
    CancelAuth();
    Send(500, "5.5.2", broken);
  } else if (phase_ == Phase::kCommand) {
    Command(line);
  } else {
    AuthResponse(line);
  }
  Wipe(line);
}

void SmtpSession::Command(std::string_view line) {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  const std::size_t space = line.find(' ');
  const std::string_view verb = line.substr(0, space);
  const std::string_view arg =
      space == line.npos ? std::string_view() : line.substr(space + 1);
  if (EqualsNoCase(verb, "EHLO")) return Ehlo(arg, true);
  if (EqualsNoCase(verb, "HELO")) return Ehlo(arg, false);
  if (EqualsNoCase(verb, "MAIL")) return Mail(arg);
  if (EqualsNoCase(verb, "RCPT")) return Rcpt(arg);
  if (EqualsNoCase(verb, "DATA")) return Data(arg);
  if (EqualsNoCase(verb, "AUTH")) return Auth(arg);
  if (EqualsNoCase(verb, "STARTTLS")) return StartTls(arg);
  if (EqualsNoCase(verb, "RSET")) {
    if (!arg.empty()) return Send(501, "5.5.4", "RSET takes no argument");
    ResetTransaction();
    return Send(250, "2.0.0", "OK");
  }
  if (EqualsNoCase(verb, "NOOP")) return Send(250, "2.0.0", "OK");
  if (EqualsNoCase(verb, "QUIT")) {
    Send(221, "2.0.0", config_.server_name + " closing connection");
    closed_ = true;
    return;
  }
  if (EqualsNoCase(verb, "VRFY")) {
    if (arg.empty()) return Send(501, "5.5.4", "VRFY needs an argument");
    return Send(252, "2.5.0",
                "Cannot verify the user, but will accept mail for it");
  }
  if (EqualsNoCase(verb, "EXPN") || EqualsNoCase(verb, "HELP") ||
      EqualsNoCase(verb, "BDAT") || EqualsNoCase(verb, "ETRN") ||
      EqualsNoCase(verb, "TURN")) {
    return Send(502, "5.5.1", "Command not implemented");
  }
  Send(500, "5.5.1", "Command not recognized");
}

void SmtpSession::Ehlo(std::string_view arg, bool extended) {
  if (arg.empty() || arg.find(' ') != arg.npos)
    return Send(501, "5.5.4",
                extended ? "Syntax: EHLO domain" : "Syntax: HELO domain");
  ResetTransaction();
  hello_ = true;
  esmtp_ = extended;
  if (!extended) return Send(250, "", config_.server_name);
  std::vector<std::string> lines = {
      config_.server_name + " greets you",
      "SIZE " + std::to_string(config_.max_message_size),
      "8BITMIME",
      "PIPELINING",
      "ENHANCEDSTATUSCODES",
      "SMTPUTF8",
  };
  if (config_.offer_starttls && !tls_) lines.push_back("STARTTLS");
  if (AuthAllowed()) lines.push_back("AUTH PLAIN LOGIN");
  for (std::size_t i = 0; i + 1 < lines.size(); ++i)
    out_ += "250-" + lines[i] + "\r\n";
  out_ += "250 " + lines.back() + "\r\n";
  errors_in_row_ = 0;
}

void SmtpSession::StartTls(std::string_view arg) {
  if (!config_.offer_starttls || tls_)
    return Send(tls_ ? 503 : 502, "5.5.1",
                tls_ ? "TLS already active" : "STARTTLS not offered");
  if (!arg.empty()) return Send(501, "5.5.4", "STARTTLS takes no argument");
  Send(220, "2.0.0", "Ready to start TLS");
  tls_ = true;
  tls_requested_ = true;
  ResetToFresh();
  drop_rest_ = true;
  if (hooks_.start_tls) hooks_.start_tls();
}

void SmtpSession::Auth(std::string_view arg) {
  if (!hello_ || !esmtp_) return Send(503, "5.5.1", "Send EHLO first");
  if (!AuthAllowed())
    return Send(538, "5.7.11",
                "Encryption required for requested authentication mechanism");
  if (authenticated_) return Send(503, "5.5.1", "Already authenticated");
  if (mail_given_)
    return Send(503, "5.5.1", "AUTH not allowed during a mail transaction");
  const std::size_t space = arg.find(' ');
  const std::string_view mechanism = arg.substr(0, space);
  const bool has_initial = space != arg.npos;
  std::string_view initial =
      has_initial ? arg.substr(space + 1) : std::string_view();
  if (has_initial && (initial.empty() || initial.find(' ') != initial.npos))
    return Send(501, "5.5.4", "Syntax: AUTH mechanism [initial-response]");
  if (EqualsNoCase(mechanism, "PLAIN")) {
    phase_ = Phase::kAuthPlain;
    if (!has_initial) {
      out_ += "334 \r\n";
      return;
    }
    return AuthResponse(initial == "=" ? std::string_view() : initial);
  }
  if (EqualsNoCase(mechanism, "LOGIN")) {
    phase_ = Phase::kAuthLoginUser;
    if (!has_initial) {
      out_ += "334 VXNlcm5hbWU6\r\n";  // "Username:"
      return;
    }
    return AuthResponse(initial == "=" ? std::string_view() : initial);
  }
  if (mechanism.empty())
    return Send(501, "5.5.4", "Syntax: AUTH mechanism [initial-response]");
  Send(504, "5.5.4", "Unrecognized authentication mechanism");
}

void SmtpSession::AuthResponse(std::string_view line) {
  const Phase phase = phase_;
  phase_ = Phase::kCommand;
  if (line == "*") {
    Wipe(login_user_);
    return Send(501, "5.7.0", "Authentication cancelled");
  }
  std::optional<std::string> decoded = DecodeBase64(line);
  if (!decoded) {
    Wipe(login_user_);
    return Send(501, "5.5.2", "Cannot decode the response as base64");
  }
  if (phase == Phase::kAuthLoginUser) {
    login_user_ = std::move(*decoded);
    phase_ = Phase::kAuthLoginPassword;
    out_ += "334 UGFzc3dvcmQ6\r\n";  // "Password:"
    return;
  }
  if (phase == Phase::kAuthLoginPassword) {
    std::string user = std::move(login_user_);
    login_user_.clear();
    FinishAuth(user, *decoded);
    Wipe(user);
    return;
  }
  // PLAIN: authzid NUL authcid NUL password; acting for another user (a
  // different authzid) is not offered.
  std::string& message = *decoded;
  const std::size_t first = message.find('\0');
  const std::size_t second =
      first == message.npos ? message.npos : message.find('\0', first + 1);
  if (second == message.npos ||
      message.find('\0', second + 1) != message.npos) {
    Wipe(message);
    return Send(501, "5.5.2", "Malformed PLAIN response");
  }
  const std::string authzid = message.substr(0, first);
  std::string user = message.substr(first + 1, second - first - 1);
  std::string password = message.substr(second + 1);
  Wipe(message);
  if (!authzid.empty() && authzid != user) {
    Wipe(user), Wipe(password);
    return Send(535, "5.7.8", "Authentication credentials invalid");
  }
  FinishAuth(user, password);
  Wipe(user);
}

void SmtpSession::FinishAuth(const std::string& user, std::string& password) {
  bool ok = false;
  if (hooks_.check_password && !user.empty()) {
    try {
      ok = hooks_.check_password(user, password);
    } catch (...) {
      ok = false;
    }
  }
  Wipe(password);
  if (!ok) return Send(535, "5.7.8", "Authentication credentials invalid");
  authenticated_ = true;
  auth_user_ = user;
  Send(235, "2.7.0", "Authentication successful");
}

void SmtpSession::Mail(std::string_view arg) {
  if (!StartsNoCase(arg, "FROM:"))
    return Send(501, "5.5.4", "Syntax: MAIL FROM:<address>");
  if (!hello_) return Send(503, "5.5.1", "Send EHLO first");
  if (!authenticated_)
    return Send(530, "5.7.0",
                AuthAllowed()
                    ? "Authentication required"
                    : "Authentication required: issue STARTTLS first");
  if (mail_given_) return Send(503, "5.5.1", "Sender already given");
  arg.remove_prefix(5);
  while (!arg.empty() && arg[0] == ' ') arg.remove_prefix(1);
  if (arg.empty() || arg[0] != '<')
    return Send(501, "5.5.4",
                "Syntax: MAIL FROM:<address>, the address in angle brackets");
  // Parameters first: SMTPUTF8 decides which addresses are valid. The path
  // ends at the first '>' outside a quoted local part, which a first lenient
  // reading finds.
  const ParsedPath probe = ParsePath(arg, true);
  if (probe.error == PathError::kSyntax)
    return Send(501, "5.5.4", "Syntax: MAIL FROM:<address>");
  const std::optional<std::vector<Parameter>> params =
      ParseParameters(probe.rest);
  if (!params) return Send(501, "5.5.4", "Malformed MAIL FROM parameters");
  if (!esmtp_ && !params->empty()) return Send(555, "", "Parameters need EHLO");
  Envelope envelope;
  bool seen_size = false, seen_body = false, seen_utf8 = false;
  for (const Parameter& p : *params) {
    if (EqualsNoCase(p.keyword, "SIZE")) {
      if (seen_size || !p.has_value)
        return Send(501, "5.5.4", "Malformed SIZE parameter");
      seen_size = true;
      unsigned long long size = 0;
      for (unsigned char c : p.value) {
        if (!IsDigit(c)) return Send(501, "5.5.4", "Malformed SIZE parameter");
        size = size * 10 + (c - '0');
      }
      // Twenty digits and more are past any limit (and past 64 bits).
      if (p.value.size() >= 20 || size > config_.max_message_size)
        return Send(552, "5.3.4",
                    "Message size exceeds fixed maximum message size of " +
                        std::to_string(config_.max_message_size));
    } else if (EqualsNoCase(p.keyword, "BODY")) {
      if (seen_body || !p.has_value)
        return Send(501, "5.5.4", "Malformed BODY parameter");
      seen_body = true;
      if (EqualsNoCase(p.value, "8BITMIME")) {
        envelope.body_8bitmime = true;
      } else if (!EqualsNoCase(p.value, "7BIT")) {
        return Send(555, "5.5.4", "BODY must be 7BIT or 8BITMIME");
      }
    } else if (EqualsNoCase(p.keyword, "SMTPUTF8")) {
      if (seen_utf8 || p.has_value)
        return Send(501, "5.5.4", "SMTPUTF8 takes no value");
      seen_utf8 = true;
      envelope.smtputf8 = true;
    } else if (EqualsNoCase(p.keyword, "AUTH")) {
      // The submitter's identity is the authenticated user; ignored.
    } else {
      return Send(555, "5.5.4", "MAIL FROM parameter not recognized");
    }
  }
  const ParsedPath path = ParsePath(arg, envelope.smtputf8);
  if (path.error == PathError::kUtf8)
    return Send(553, "5.6.7",
                "Non-ASCII sender address needs the SMTPUTF8 parameter");
  if (path.error != PathError::kNone || path.postmaster)
    return Send(553, "5.1.7",
                "Bad sender address syntax: expected local-part@domain");
  envelope.reverse_path = path.address;
  envelope.auth_user = auth_user_;
  envelope_ = std::move(envelope);
  mail_given_ = true;
  Send(250, "2.1.0", "Sender OK");
}

void SmtpSession::Rcpt(std::string_view arg) {
  if (!StartsNoCase(arg, "TO:"))
    return Send(501, "5.5.4", "Syntax: RCPT TO:<address>");
  if (!mail_given_) return Send(503, "5.5.1", "Need MAIL before RCPT");
  arg.remove_prefix(3);
  while (!arg.empty() && arg[0] == ' ') arg.remove_prefix(1);
  if (arg.empty() || arg[0] != '<')
    return Send(501, "5.5.4",
                "Syntax: RCPT TO:<address>, the address in angle brackets");
  const ParsedPath path = ParsePath(arg, envelope_.smtputf8);
  if (path.error == PathError::kSyntax)
    return Send(501, "5.5.4", "Syntax: RCPT TO:<address>");
  if (path.error == PathError::kUtf8)
    return Send(553, "5.6.7",
                "Non-ASCII recipient address needs SMTPUTF8 on MAIL FROM");
  if (path.error != PathError::kNone || path.null_path)
    return Send(553, "5.1.3",
                "Bad recipient address syntax: expected local-part@domain");
  const std::optional<std::vector<Parameter>> params =
      ParseParameters(path.rest);
  if (!params) return Send(501, "5.5.4", "Malformed RCPT TO parameters");
  if (!params->empty())
    return Send(555, "5.5.4", "RCPT TO parameters not recognized");
  std::vector<std::string>& to = envelope_.forward_paths;
  if (std::find(to.begin(), to.end(), path.address) != to.end())
    return Send(250, "2.1.5", "Recipient OK");
  if (to.size() >= config_.max_recipients)
    return Send(452, "4.5.3", "Too many recipients");
  to.push_back(path.address);
  Send(250, "2.1.5", "Recipient OK");
}

void SmtpSession::Data(std::string_view arg) {
  if (!arg.empty()) return Send(501, "5.5.4", "DATA takes no argument");
  if (!mail_given_) return Send(503, "5.5.1", "Need MAIL before DATA");
  if (envelope_.forward_paths.empty())
    return Send(554, "5.5.1", "No valid recipients");
  out_ += "354 End data with <CR><LF>.<CR><LF>\r\n";
  phase_ = Phase::kData;
  data_state_ = DataState::kLineStart;
  message_.clear();
  data_bytes_ = 0;
  data_line_length_ = 0;
  in_headers_ = true;
  too_big_ = bare_lf_ = bare_cr_ = nul_ = long_line_ = header_8bit_ = false;
}

void SmtpSession::AppendData(char c) { AppendData(std::string_view(&c, 1)); }

void SmtpSession::AppendData(std::string_view bytes) {
  for (unsigned char c : bytes) {
    if (c == '\0') nul_ = true;
    if (c >= 0x80 && in_headers_) header_8bit_ = true;
  }
  if (bytes != "\r\n") data_line_length_ += bytes.size();
  data_bytes_ += bytes.size();
  if (too_big_) return;
  if (data_bytes_ > config_.max_message_size) {
    too_big_ = true;
    message_.clear();
    message_.shrink_to_fit();
    return;
  }
  message_.append(bytes);
}

void SmtpSession::DataLineEnd() {
  if (data_line_length_ + kCrlf > config_.max_text_line) long_line_ = true;
  if (data_line_length_ == 0) in_headers_ = false;
  data_line_length_ = 0;
  data_state_ = DataState::kLineStart;
}

std::size_t SmtpSession::FeedData(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const char c = bytes[i++];
    switch (data_state_) {
      case DataState::kLineStart:
        if (c == '.') {
          data_state_ = DataState::kAfterDot;
          continue;
        }
        data_state_ = DataState::kInLine;
        break;
      case DataState::kAfterDot:
        if (c == '\r') {
          data_state_ = DataState::kAfterDotCr;
          continue;
        }
        // A leading dot of any other line is stuffing: dropped.
        data_state_ = DataState::kInLine;
        break;
      case DataState::kAfterDotCr:
        if (c == '\n') {
          EndOfData();
          return i;
        }
        // "." CR followed by something else: a stuffed line with a bare CR.
        bare_cr_ = true;
        AppendData('\r');
        data_state_ = DataState::kInLine;
        break;
      case DataState::kAfterCr:
        if (c == '\n') {
          AppendData("\r\n");
          DataLineEnd();
          continue;
        }
        bare_cr_ = true;
        AppendData('\r');
        data_state_ = DataState::kInLine;
        break;
      case DataState::kInLine:
        break;
    }
    // c is a byte of a line's text.
    if (c == '\r') {
      data_state_ = DataState::kAfterCr;
      continue;
    }
    // A bare LF ends no line: only CRLF "." CRLF may end the message.
    if (c == '\n') bare_lf_ = true;
    AppendData(c);
  }
  return i;
}

void SmtpSession::EndOfData() {
  phase_ = Phase::kCommand;
  std::string message;
  message.swap(message_);
  Envelope envelope = std::move(envelope_);
  ResetTransaction();
  if (too_big_)
    return Send(552, "5.3.4",
                "Message size exceeds fixed maximum message size of " +
                    std::to_string(config_.max_message_size));
  if (nul_) return Send(554, "5.6.0", "Message refused: it contains NUL bytes");
  if (bare_lf_)
    return Send(554, "5.6.0",
                "Message refused: bare LF in the text, lines must end in CRLF");
  if (bare_cr_)
    return Send(554, "5.6.0",
                "Message refused: bare CR in the text, lines must end in CRLF");
  if (long_line_)
    return Send(554, "5.6.0",
                "Message refused: a line is longer than " +
                    std::to_string(config_.max_text_line - kCrlf) + " octets");
  if (header_8bit_ && !envelope.smtputf8)
    return Send(550, "5.6.7",
                "Message refused: 8-bit header needs SMTPUTF8 on MAIL FROM");
  Reply reply{451, "4.3.0", "Message not stored, try again later"};
  if (hooks_.accept_message) {
    try {
      reply = hooks_.accept_message(envelope, std::move(message));
    } catch (...) {
      reply = Reply{451, "4.3.0", "Message not stored, try again later"};
    }
  }
  if (reply.code < 200 || reply.code > 599 || reply.code / 100 == 3)
    reply = Reply{451, "4.3.0", "Message not stored, try again later"};
  if (!ValidEnhanced(reply.enhanced, reply.code))
    reply.enhanced = std::to_string(reply.code / 100) + ".0.0";
  std::string text = OneLine(reply.text);
  if (text.empty()) text = reply.code < 300 ? "OK" : "Message not stored";
  Send(reply.code, reply.enhanced, text);
}

}  // namespace mail
