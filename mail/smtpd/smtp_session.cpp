// The SMTP submission state machine: commands, replies, AUTH, DATA and its
// limits, without any I/O.
#include "mail/smtpd/smtp_session.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "mail/smtpd/smtp_syntax.h"

namespace mail {
namespace {

using smtp_syntax::DecodeBase64;
using smtp_syntax::EqualsNoCase;
using smtp_syntax::IsDigit;
using smtp_syntax::Parameter;
using smtp_syntax::ParsedPath;
using smtp_syntax::ParseParameters;
using smtp_syntax::ParsePath;
using smtp_syntax::PathError;
using smtp_syntax::StartsNoCase;

// Longest text of a message line without its CRLF for a 1000-octet limit.
constexpr std::size_t kCrlf = 2;

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
  if (phase_ == Phase::kData) return kDataIdleTimeout;
  return authenticated_ ? kCommandIdleTimeout : kPreLoginIdleTimeout;
}

void SmtpSession::TimedOut(std::string_view reason) {
  if (closed_) return;
  message_.clear();
  message_.shrink_to_fit();
  line_.clear();
  held_.clear();
  Send(421, "4.4.2",
       config_.server_name + " " + std::string(reason) + ", closing");
  closed_ = true;
}

void SmtpSession::Resume() {
  if (reply_delay_.count() == 0) return;
  reply_delay_ = std::chrono::milliseconds(0);
  FeedHeld();
}

void SmtpSession::FeedHeld() {
  std::string rest;
  rest.swap(held_);
  Feed(rest);
}

void SmtpSession::MessageStored(Reply reply) {
  if (!awaiting_store_) return;
  awaiting_store_ = false;
  if (closed_) return;
  SendStoreReply(std::move(reply));
  FeedHeld();
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
  // After login any input shows a live client; before it, Command() says.
  restarts_idle_ = authenticated_ && !bytes.empty();
  while (!bytes.empty() && !closed_ && !drop_rest_) {
    if (reply_delay_.count() > 0 || awaiting_store_) {
      held_.append(bytes);
      return;
    }
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
    restarts_idle_ = true;
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
  // The commands that lead towards login (and, after it, every command).
  restarts_idle_ |= authenticated_ || EqualsNoCase(verb, "EHLO") ||
                    EqualsNoCase(verb, "HELO") ||
                    EqualsNoCase(verb, "STARTTLS") ||
                    EqualsNoCase(verb, "AUTH");
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
  helo_ = std::string(arg);
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
  if (!ok) {
    // Each failure waits twice as long as the one before; the last one
    // allowed ends the connection.
    reply_delay_ = kAuthFailureDelay * (1 << std::min(auth_failures_, 16));
    Send(535, "5.7.8", "Authentication credentials invalid");
    if (++auth_failures_ >= kMaxAuthFailures && !closed_) {
      Send(421, "4.7.0",
           config_.server_name + " Too many failed logins, closing");
      closed_ = true;
    }
    return;
  }
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
  envelope.helo = helo_;
  envelope.tls = tls_;
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
  too_big_ = bare_lf_ = bare_cr_ = nul_ = long_line_ = false;
}

void SmtpSession::AppendData(char c) { AppendData(std::string_view(&c, 1)); }

void SmtpSession::AppendData(std::string_view bytes) {
  if (bytes.find('\0') != std::string_view::npos) nul_ = true;
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
  data_line_length_ = 0;
  data_state_ = DataState::kLineStart;
}

std::size_t SmtpSession::FeedData(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (data_state_ == DataState::kInLine) {
      // The text of a line up to its CR or LF goes in as one piece.
      std::size_t end = i;
      while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n')
        ++end;
      if (end > i) AppendData(bytes.substr(i, end - i));
      i = end;
      if (i == bytes.size()) break;
    }
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
  if (hooks_.submit_message) {
    awaiting_store_ = true;
    try {
      hooks_.submit_message(envelope, std::move(message));
    } catch (...) {
      awaiting_store_ = false;
      SendStoreReply(
          Reply{451, "4.3.0", "Message not stored, try again later"});
    }
    return;
  }
  Reply reply{451, "4.3.0", "Message not stored, try again later"};
  if (hooks_.accept_message) {
    try {
      reply = hooks_.accept_message(envelope, std::move(message));
    } catch (...) {
      reply = Reply{451, "4.3.0", "Message not stored, try again later"};
    }
  }
  SendStoreReply(std::move(reply));
}

void SmtpSession::SendStoreReply(Reply reply) {
  if (reply.code < 200 || reply.code > 599 || reply.code / 100 == 3)
    reply = Reply{451, "4.3.0", "Message not stored, try again later"};
  if (!ValidEnhanced(reply.enhanced, reply.code))
    reply.enhanced = std::to_string(reply.code / 100) + ".0.0";
  std::string text = OneLine(reply.text);
  if (text.empty()) text = reply.code < 300 ? "OK" : "Message not stored";
  Send(reply.code, reply.enhanced, text);
}

}  // namespace mail
