// One SMTP submission session as a state machine without I/O: the socket
// layer feeds it the bytes a client sent (split anywhere, commands pipelined),
// writes out what TakeOutput() returns and closes the connection once
// Closed(). The session owns its buffers; their size is bounded by the limits
// of its SessionConfig (one command line, one message). The output of one
// Feed() grows with that input, so the caller feeds reads of bounded size and
// writes out after each.
//
// Decisions beyond the protocol's letter:
// - A command line ends at CRLF only. A line with a bare LF, a bare CR or a
//   NUL is answered 500. A line longer than its limit is answered 500 5.5.2
//   as soon as the limit is passed; the rest of it, up to the next LF, is
//   read and dropped.
// - In DATA only CRLF "." CRLF ends the message. A bare LF, a bare CR, a NUL
//   or a line over max_text_line is never repaired: the message is read to
//   its end and refused with 554 5.6.0 saying why (servers should not accept
//   them, and repairing would store something other than what was sent).
// - Bytes a client sends after STARTTLS in the same read are dropped: they
//   came before the TLS handshake and must not count as protected commands.
// - Replies carry enhanced status codes once the client said EHLO, except
//   the EHLO reply itself, 334 challenges and 354.
// - 8-bit header text is taken without SMTPUTF8, as a mail server takes it:
//   the header is kept as written and read as UTF-8.
// - Before login only commands that lead towards it keep a connection
//   alive: NOOP, RSET and the like, and bytes short of a line, do not
//   restart the wait (an idle client must not hold a place for good).
// - A failed AUTH is answered after a pause that doubles with each failure;
//   input after it waits, unread, until Resume(). The last failure allowed
//   closes the connection.
// - A message may be stored while the session waits (submit_message): the
//   input after its end waits, unread, until MessageStored().
#ifndef TARNVEX_MAIL_SMTPD_SMTP_SESSION_H_
#define TARNVEX_MAIL_SMTPD_SMTP_SESSION_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mail {

// How long the socket layer waits for a client before calling TimedOut():
// for the next command (and a SASL response), between reads of the message
// text, and before login for a command that leads towards it. The session
// itself keeps no clock.
inline constexpr std::chrono::seconds kCommandIdleTimeout{300};
inline constexpr std::chrono::seconds kDataIdleTimeout{180};
inline constexpr std::chrono::seconds kPreLoginIdleTimeout{30};
// Failed AUTH attempts a connection may make; the last one closes it.
inline constexpr int kMaxAuthFailures = 3;
// The pause before the answer to the first failed AUTH; twice as long for
// each one after it.
inline constexpr std::chrono::milliseconds kAuthFailureDelay{1000};

inline constexpr std::size_t kDefaultMaxMessageSize = 25u * 1024 * 1024;
inline constexpr std::size_t kDefaultMaxRecipients = 1000;
// Octets of one line including its CRLF. The protocol's own limit for text
// and commands is 1000; 512 is the least a server may accept for commands.
inline constexpr std::size_t kMinCommandLine = 512;
inline constexpr std::size_t kDefaultMaxCommandLine = 1000;
inline constexpr std::size_t kDefaultMaxTextLine = 1000;
// AUTH commands and SASL responses carry base64 and may be longer.
inline constexpr std::size_t kDefaultMaxAuthLine = 12288;
inline constexpr int kDefaultMaxErrors = 20;

struct SessionConfig {
  std::string server_name = "localhost";
  std::size_t max_message_size = kDefaultMaxMessageSize;
  std::size_t max_recipients = kDefaultMaxRecipients;
  std::size_t max_command_line = kDefaultMaxCommandLine;
  std::size_t max_auth_line = kDefaultMaxAuthLine;
  std::size_t max_text_line = kDefaultMaxTextLine;
  // Failed commands (5xx replies) in a row before the session ends with 421.
  int max_errors = kDefaultMaxErrors;
  // The connection is TLS from its start.
  bool tls_active = false;
  // STARTTLS is offered (the socket layer has a certificate).
  bool offer_starttls = false;
  // AUTH may be used on a connection without TLS (true on loopback).
  bool auth_without_tls = false;
};

// The envelope of one accepted message: bare addresses
// (local-part@domain, a quoted local part kept quoted, source routes
// dropped); the reverse-path is empty for the null path "<>".
struct Envelope {
  std::string reverse_path;
  std::vector<std::string> forward_paths;
  bool body_8bitmime = false;
  bool smtputf8 = false;
  std::string auth_user;
  // For the Received line: the client's EHLO name and whether the session
  // was under TLS.
  std::string helo;
  bool tls = false;
};

// One reply line: a three-digit code, an enhanced status code ("4.3.0"; left
// empty, the session picks one of the code's class) and its text.
struct Reply {
  int code = 0;
  std::string enhanced;
  std::string text;
};

// Calls from the session to its owner. A missing hook refuses: no password is
// right, no message is taken (451).
struct SessionHooks {
  std::function<bool(const std::string& user, const std::string& password)>
      check_password;
  // Stores the message (raw: the unstuffed text, CRLF line ends, without the
  // final "."). Answers 250 only after a synced commit; 451/452/554 else.
  std::function<Reply(const Envelope& envelope, std::string raw)>
      accept_message;
  // Instead of accept_message: hands the message over to be stored, and the
  // owner answers later with MessageStored(). Input that comes meanwhile
  // (pipelined commands) waits, unread, so that replies keep their order.
  std::function<void(const Envelope& envelope, std::string raw)> submit_message;
  // STARTTLS was accepted: once the 220 is written the socket layer starts
  // the TLS handshake; what it feeds afterwards is the decrypted stream.
  std::function<void()> start_tls;
};

class SmtpSession {
 public:
  SmtpSession(SessionConfig config, SessionHooks hooks);

  // The 220 line the server sends first.
  std::string Greeting() const;
  // Bytes the client sent, in any split. Ignored once Closed().
  void Feed(std::string_view bytes);
  // The replies written since the last call.
  std::string TakeOutput();
  // The socket layer closes the connection after writing the output.
  bool Closed() const { return closed_; }
  // STARTTLS was accepted (the connection is TLS from then on).
  bool TlsRequested() const { return tls_requested_; }
  // The wait for the client that applies now.
  std::chrono::seconds IdleTimeout() const;
  // Whether what the last Feed() took restarts that wait.
  bool RestartsIdleTimer() const { return restarts_idle_; }
  // The client was idle past IdleTimeout(), or took longer than its owner
  // allows: answers 421 with `reason` and closes. A message being received
  // is dropped.
  void TimedOut(std::string_view reason = "Idle too long");
  bool Authenticated() const { return authenticated_; }

  // After a failed AUTH: how long the socket layer holds back the output
  // (and reads nothing) before it calls Resume(); zero otherwise.
  std::chrono::milliseconds ReplyDelay() const { return reply_delay_; }
  // The pause is over: the input held since is read.
  void Resume();

  // A message handed to submit_message waits for its answer; the socket
  // layer reads nothing meanwhile.
  bool AwaitingStore() const { return awaiting_store_; }
  // The answer for the message handed over (250 only once it is stored);
  // the input held since is read. Ignored when nothing waits.
  void MessageStored(Reply reply);

  // Bytes held for input (the line being read, the message being received);
  // never more than MaxBufferedBytes().
  std::size_t BufferedBytes() const {
    return line_.size() + message_.size() + held_.size();
  }
  std::size_t MaxBufferedBytes() const;

 private:
  enum class Phase {
    kCommand,
    kData,
    kAuthPlain,
    kAuthLoginUser,
    kAuthLoginPassword
  };
  enum class DataState {
    kLineStart,
    kAfterDot,
    kAfterDotCr,
    kInLine,
    kAfterCr
  };

  std::size_t FeedLine(std::string_view bytes);
  std::size_t FeedData(std::string_view bytes);
  std::size_t LineLimit() const;
  void LineDone(bool bare_lf);
  void Command(std::string_view line);
  void AuthResponse(std::string_view line);

  void Ehlo(std::string_view arg, bool extended);
  void StartTls(std::string_view arg);
  void Auth(std::string_view arg);
  void FinishAuth(const std::string& user, std::string& password);
  void Mail(std::string_view arg);
  void Rcpt(std::string_view arg);
  void Data(std::string_view arg);
  void EndOfData();
  void SendStoreReply(Reply reply);
  void FeedHeld();

  // Data bytes into the message, within the size limit.
  void AppendData(char c);
  void AppendData(std::string_view bytes);
  void DataLineEnd();

  void Send(int code, std::string_view enhanced, std::string_view text);
  void CancelAuth();
  void ResetTransaction();
  void ResetToFresh();
  bool AuthAllowed() const;

  SessionConfig config_;
  SessionHooks hooks_;
  std::string out_;
  bool closed_ = false;
  bool tls_ = false;
  bool tls_requested_ = false;
  // Drop the rest of the current Feed (bytes sent before the TLS handshake).
  bool drop_rest_ = false;
  int errors_in_row_ = 0;
  bool restarts_idle_ = false;
  int auth_failures_ = 0;
  std::chrono::milliseconds reply_delay_{0};
  bool awaiting_store_ = false;
  // Input that came after a failed AUTH, read at Resume().
  std::string held_;

  // Command lines.
  Phase phase_ = Phase::kCommand;
  std::string line_;
  bool discarding_ = false;

  // Greeting and authentication.
  bool hello_ = false;
  bool esmtp_ = false;
  std::string helo_;
  bool authenticated_ = false;
  std::string auth_user_;
  std::string login_user_;

  // The transaction.
  bool mail_given_ = false;
  Envelope envelope_;

  // DATA.
  DataState data_state_ = DataState::kLineStart;
  std::string message_;
  std::size_t data_bytes_ = 0;
  std::size_t data_line_length_ = 0;
  bool too_big_ = false;
  bool bare_lf_ = false;
  bool bare_cr_ = false;
  bool nul_ = false;
  bool long_line_ = false;
};

}  // namespace mail

#endif  // TARNVEX_MAIL_SMTPD_SMTP_SESSION_H_
