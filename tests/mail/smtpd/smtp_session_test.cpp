// The submission session as a client sees it: replies to whole
// conversations, what reaches the store, and every refusal with its code.
#include "mail/smtpd/smtp_session.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using mail::Envelope;
using mail::Reply;
using mail::SessionConfig;
using mail::SessionHooks;
using mail::SmtpSession;

// "\0alice\0secret", "\0alice\0wrong", "alice", "secret", "wrong".
constexpr char kPlainGood[] = "AGFsaWNlAHNlY3JldA==";
constexpr char kPlainWrong[] = "AGFsaWNlAHdyb25n";
constexpr char kLoginUser[] = "YWxpY2U=";
constexpr char kLoginGood[] = "c2VjcmV0";
constexpr char kLoginWrong[] = "d3Jvbmc=";

struct Stored {
  Envelope envelope;
  std::string raw;
};

// A session with a store that records what it is given and answers
// `store_reply`, and one user alice/secret.
class SmtpSessionTest : public ::testing::Test {
 protected:
  SmtpSessionTest() { config_.auth_without_tls = true; }

  SmtpSession& Session() {
    if (!session_) {
      SessionHooks hooks;
      hooks.check_password = [](const std::string& user,
                                const std::string& password) {
        return user == "alice" && password == "secret";
      };
      hooks.accept_message = [this](const Envelope& envelope, std::string raw) {
        stored_.push_back({envelope, std::move(raw)});
        return store_reply_;
      };
      hooks.start_tls = [this] { ++tls_starts_; };
      session_ = std::make_unique<SmtpSession>(config_, hooks);
    }
    return *session_;
  }

  std::string Talk(const std::string& input) {
    Session().Feed(input);
    return Session().TakeOutput();
  }

  // The last reply line of the answer to `input`.
  std::string Last(const std::string& input) {
    const std::string out = Talk(input);
    const std::size_t end = out.rfind("\r\n");
    if (end == std::string::npos) return out;
    const std::size_t start = out.rfind("\r\n", end - 1);
    return out.substr(start == std::string::npos ? 0 : start + 2,
                      end - (start == std::string::npos ? 0 : start + 2));
  }

  void LoggedIn() {
    ASSERT_EQ(Last("EHLO client.example\r\nAUTH PLAIN " +
                   std::string(kPlainGood) + "\r\n"),
              "235 2.7.0 Authentication successful");
  }

  // Logged in, one sender and one recipient given.
  void InTransaction(const std::string& mail_params = "") {
    LoggedIn();
    ASSERT_EQ(Last("MAIL FROM:<alice@example.org>" + mail_params + "\r\n")
                  .substr(0, 3),
              "250");
    ASSERT_EQ(Last("RCPT TO:<bob@example.net>\r\n").substr(0, 3), "250");
  }

  SessionConfig config_;
  Reply store_reply_{250, "2.0.0", "Stored"};
  std::vector<Stored> stored_;
  int tls_starts_ = 0;
  std::unique_ptr<SmtpSession> session_;
};

// Codes of the final lines of each reply in `out`.
std::vector<std::string> Codes(const std::string& out) {
  std::vector<std::string> codes;
  std::size_t start = 0;
  while (start < out.size()) {
    const std::size_t end = out.find("\r\n", start);
    if (end == std::string::npos) break;
    if (end - start >= 4 && out[start + 3] == ' ')
      codes.push_back(out.substr(start, 3));
    start = end + 2;
  }
  return codes;
}

const char kConversation[] =
    "EHLO client.example\r\n"
    "AUTH PLAIN AGFsaWNlAHNlY3JldA==\r\n"
    "MAIL FROM:<alice@example.org> SIZE=120 BODY=8BITMIME\r\n"
    "RCPT TO:<bob@example.net>\r\n"
    "RCPT TO:<carol@example.com>\r\n"
    "DATA\r\n"
    "Subject: hi\r\n"
    "\r\n"
    "..leading dot\r\n"
    "..\r\n"
    "last\r\n"
    ".\r\n"
    "QUIT\r\n";

TEST_F(SmtpSessionTest, ConversationGivesTheSameRepliesForAnySplit) {
  std::vector<std::string> outputs;
  for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
    session_.reset();
    const std::string input = kConversation;
    std::string out;
    if (piece == 0) {
      out = Talk(input);
    } else {
      for (std::size_t i = 0; i < input.size(); i += piece)
        out += Talk(input.substr(i, piece));
    }
    EXPECT_TRUE(Session().Closed());
    outputs.push_back(out);
  }
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_EQ(outputs[0], outputs[2]);
  EXPECT_EQ(Codes(outputs[0]),
            (std::vector<std::string>{"250", "235", "250", "250", "250", "354",
                                      "250", "221"}));
  ASSERT_EQ(stored_.size(), 3u);
  for (const Stored& s : stored_) {
    EXPECT_EQ(s.raw, "Subject: hi\r\n\r\n.leading dot\r\n.\r\nlast\r\n");
    EXPECT_EQ(s.envelope.reverse_path, "alice@example.org");
    EXPECT_EQ(
        s.envelope.forward_paths,
        (std::vector<std::string>{"bob@example.net", "carol@example.com"}));
    EXPECT_TRUE(s.envelope.body_8bitmime);
    EXPECT_FALSE(s.envelope.smtputf8);
    EXPECT_EQ(s.envelope.auth_user, "alice");
  }
}

TEST_F(SmtpSessionTest, GreetingAndEhloAdvertiseTheExtensions) {
  config_.server_name = "device.local";
  config_.max_message_size = 1000;
  EXPECT_EQ(Session().Greeting(), "220 device.local ESMTP ready\r\n");
  EXPECT_EQ(Talk("EHLO c\r\n"),
            "250-device.local greets you\r\n250-SIZE 1000\r\n250-8BITMIME\r\n"
            "250-PIPELINING\r\n250-ENHANCEDSTATUSCODES\r\n250-SMTPUTF8\r\n"
            "250 AUTH PLAIN LOGIN\r\n");
}

// STARTTLS and AUTH are advertised by connection: STARTTLS until TLS is on,
// AUTH only over TLS or where the connection may do without.
TEST_F(SmtpSessionTest, EhloOffersStartTlsAndAuthByConnection) {
  struct Case {
    bool tls, offer, without_tls, starttls_listed, auth_listed;
  } cases[] = {
      {false, true, false, true, false},
      {false, true, true, true, true},
      {true, true, false, false, true},
      {false, false, false, false, false},
  };
  for (const Case& c : cases) {
    session_.reset();
    config_.tls_active = c.tls;
    config_.offer_starttls = c.offer;
    config_.auth_without_tls = c.without_tls;
    const std::string out = Talk("EHLO c\r\n");
    EXPECT_EQ(out.find("STARTTLS") != std::string::npos, c.starttls_listed)
        << out;
    EXPECT_EQ(out.find("AUTH PLAIN LOGIN") != std::string::npos, c.auth_listed)
        << out;
  }
}

TEST_F(SmtpSessionTest, PipelinedCommandsAreAnsweredInOrder) {
  LoggedIn();
  const std::string out = Talk(
      "MAIL FROM:<>\r\nRCPT TO:<bob@example.net>\r\nRCPT TO:<bad>\r\n"
      "RCPT TO:<carol@example.com>\r\nDATA\r\nbody\r\n.\r\nNOOP\r\n");
  EXPECT_EQ(Codes(out), (std::vector<std::string>{"250", "250", "553", "250",
                                                  "354", "250", "250"}));
  ASSERT_EQ(stored_.size(), 1u);
  EXPECT_EQ(stored_[0].envelope.reverse_path, "");
  EXPECT_EQ(stored_[0].envelope.forward_paths.size(), 2u);
  EXPECT_EQ(stored_[0].raw, "body\r\n");
}

TEST_F(SmtpSessionTest, StartTlsResetsToAFreshSessionAndDropsPipelinedBytes) {
  config_.offer_starttls = true;
  config_.auth_without_tls = false;
  EXPECT_EQ(Last("EHLO c\r\nAUTH PLAIN " + std::string(kPlainGood) + "\r\n"),
            "538 5.7.11 Encryption required for requested authentication "
            "mechanism");
  EXPECT_EQ(Last("MAIL FROM:<alice@example.org>\r\n"),
            "530 5.7.0 Authentication required: issue STARTTLS first");
  // Commands sent with STARTTLS before the handshake never count.
  EXPECT_EQ(Talk("STARTTLS\r\nAUTH PLAIN " + std::string(kPlainGood) + "\r\n"),
            "220 2.0.0 Ready to start TLS\r\n");
  EXPECT_TRUE(Session().TlsRequested());
  EXPECT_EQ(tls_starts_, 1);
  // Fresh: EHLO again, and nothing remembered from before.
  EXPECT_EQ(Last("MAIL FROM:<alice@example.org>\r\n"), "503 Send EHLO first");
  const std::string ehlo = Talk("EHLO c\r\n");
  EXPECT_EQ(ehlo.find("STARTTLS"), std::string::npos);
  EXPECT_NE(ehlo.find("AUTH PLAIN LOGIN"), std::string::npos);
  EXPECT_EQ(Last("MAIL FROM:<alice@example.org>\r\n"),
            "530 5.7.0 Authentication required");
  EXPECT_EQ(Last("STARTTLS\r\n"), "503 5.5.1 TLS already active");
  EXPECT_EQ(Last("AUTH PLAIN " + std::string(kPlainGood) + "\r\n"),
            "235 2.7.0 Authentication successful");
}

TEST_F(SmtpSessionTest, AuthExchanges) {
  struct Case {
    std::string lines;
    std::string last_reply;
    bool authenticated;
  } cases[] = {
      {"AUTH PLAIN " + std::string(kPlainGood) + "\r\n",
       "235 2.7.0 Authentication successful", true},
      {"AUTH PLAIN\r\n" + std::string(kPlainGood) + "\r\n",
       "235 2.7.0 Authentication successful", true},
      {"AUTH LOGIN\r\n" + std::string(kLoginUser) + "\r\n" + kLoginGood +
           "\r\n",
       "235 2.7.0 Authentication successful", true},
      {"AUTH LOGIN " + std::string(kLoginUser) + "\r\n" + kLoginGood + "\r\n",
       "235 2.7.0 Authentication successful", true},
      {"AUTH PLAIN " + std::string(kPlainWrong) + "\r\n",
       "535 5.7.8 Authentication credentials invalid", false},
      {"AUTH LOGIN\r\n" + std::string(kLoginUser) + "\r\n" + kLoginWrong +
           "\r\n",
       "535 5.7.8 Authentication credentials invalid", false},
      // Acting for another user is refused.
      {"AUTH PLAIN Ym9iAGFsaWNlAHNlY3JldA==\r\n",
       "535 5.7.8 Authentication credentials invalid", false},
      {"AUTH PLAIN\r\n*\r\n", "501 5.7.0 Authentication cancelled", false},
      {"AUTH LOGIN\r\n" + std::string(kLoginUser) + "\r\n*\r\n",
       "501 5.7.0 Authentication cancelled", false},
      {"AUTH PLAIN\r\n!!!\r\n",
       "501 5.5.2 Cannot decode the response as base64", false},
      {"AUTH CRAM-MD5\r\n", "504 5.5.4 Unrecognized authentication mechanism",
       false},
  };
  for (const Case& c : cases) {
    session_.reset();
    Talk("EHLO c\r\n");
    EXPECT_EQ(Last(c.lines), c.last_reply) << c.lines;
    Session().Resume();  // after the pause that follows a failed login
    EXPECT_EQ(Last("MAIL FROM:<alice@example.org>\r\n").substr(0, 3),
              c.authenticated ? "250" : "530")
        << c.lines;
  }
}

TEST_F(SmtpSessionTest, AuthIsRefusedOutOfPlace) {
  EXPECT_EQ(Last("AUTH PLAIN " + std::string(kPlainGood) + "\r\n"),
            "503 Send EHLO first");
  LoggedIn();
  EXPECT_EQ(Last("AUTH PLAIN " + std::string(kPlainGood) + "\r\n"),
            "503 5.5.1 Already authenticated");
}

// Each command in a logged-in session with the limits below, and the reply
// that refuses it.
TEST_F(SmtpSessionTest, CommandRefusalsCarryTheirCodes) {
  struct Case {
    const char* setup;
    const char* command;
    const char* reply;
  } cases[] = {
      {"", "FROB\r\n", "500 5.5.1 Command not recognized"},
      {"", "RCPT TO:<bob@example.net>\r\n", "503 5.5.1 Need MAIL before RCPT"},
      {"", "DATA\r\n", "503 5.5.1 Need MAIL before DATA"},
      {"MAIL FROM:<a@example.org>\r\n", "MAIL FROM:<a@example.org>\r\n",
       "503 5.5.1 Sender already given"},
      {"", "MAIL FROM:<a@example.org> SIZE=1001\r\n",
       "552 5.3.4 Message size exceeds fixed maximum message size of 1000"},
      {"", "MAIL FROM:<a@example.org> SIZE=99999999999999999999999\r\n",
       "552 5.3.4 Message size exceeds fixed maximum message size of 1000"},
      {"", "MAIL FROM:<a@example.org> SIZE=12x\r\n",
       "501 5.5.4 Malformed SIZE parameter"},
      {"", "MAIL FROM:<a@example.org> BODY=BINARYMIME\r\n",
       "555 5.5.4 BODY must be 7BIT or 8BITMIME"},
      {"", "MAIL FROM:<a@example.org> RET=FULL\r\n",
       "555 5.5.4 MAIL FROM parameter not recognized"},
      {"", "MAIL FROM:a@example.org\r\n",
       "501 5.5.4 Syntax: MAIL FROM:<address>, the address in angle brackets"},
      {"", "MAIL FROM:<a@>\r\n",
       "553 5.1.7 Bad sender address syntax: expected local-part@domain"},
      {"", "MAIL FROM:<j\xC3\xB6rg@example.org>\r\n",
       "553 5.6.7 Non-ASCII sender address needs the SMTPUTF8 parameter"},
      {"MAIL FROM:<a@example.org>\r\n", "RCPT TO:<bob>\r\n",
       "553 5.1.3 Bad recipient address syntax: expected local-part@domain"},
      {"MAIL FROM:<a@example.org>\r\n", "RCPT TO:<>\r\n",
       "553 5.1.3 Bad recipient address syntax: expected local-part@domain"},
      {"MAIL FROM:<a@example.org>\r\n", "RCPT TO:<b@example.org\r\n",
       "501 5.5.4 Syntax: RCPT TO:<address>"},
      {"MAIL FROM:<a@example.org>\r\n", "RCPT TO:<j\xC3\xB6rg@example.org>\r\n",
       "553 5.6.7 Non-ASCII recipient address needs SMTPUTF8 on MAIL FROM"},
      {"MAIL FROM:<a@example.org>\r\n",
       "RCPT TO:<b@example.org> NOTIFY=NEVER\r\n",
       "555 5.5.4 RCPT TO parameters not recognized"},
      {"MAIL FROM:<a@example.org>\r\nRCPT TO:<1@example.org>\r\n"
       "RCPT TO:<2@example.org>\r\n",
       "RCPT TO:<3@example.org>\r\n", "452 4.5.3 Too many recipients"},
      {"MAIL FROM:<a@example.org>\r\n", "DATA\r\n",
       "554 5.5.1 No valid recipients"},
      {"", "VRFY bob\r\n",
       "252 2.5.0 Cannot verify the user, but will accept mail for it"},
      {"", "EXPN list\r\n", "502 5.5.1 Command not implemented"},
      {"", "EHLO\r\n", "501 5.5.4 Syntax: EHLO domain"},
      {"", "STARTTLS\r\n", "502 5.5.1 STARTTLS not offered"},
      {"MAIL FROM:<a@example.org>\r\n", "RSET\r\n", "250 2.0.0 OK"},
      {"", "noop\r\n", "250 2.0.0 OK"},
  };
  config_.max_message_size = 1000;
  config_.max_recipients = 2;
  for (const Case& c : cases) {
    session_.reset();
    LoggedIn();
    Talk(c.setup);
    EXPECT_EQ(Last(c.command), c.reply) << c.command;
  }
}

TEST_F(SmtpSessionTest, RepliesAfterHeloHaveNoEnhancedCodes) {
  EXPECT_EQ(Last("MAIL FROM:<a@example.org>\r\n"), "503 Send EHLO first");
  EXPECT_EQ(Last("HELO c\r\n"), "250 localhost");
  EXPECT_EQ(Last("NOOP\r\n"), "250 OK");
  EXPECT_EQ(Last("MAIL FROM:<a@example.org>\r\n"),
            "530 Authentication required");
}

// Paths of MAIL and RCPT and the bare address they give.
TEST_F(SmtpSessionTest, PathsBecomeAddrSpecs) {
  struct Case {
    const char* params;
    const char* path;
    const char* address;  // the refusal's code when refused
    bool refused = false;
  } cases[] = {
      {"", "<@relay.example,@b.example:bob@example.net>", "bob@example.net"},
      {"", "<\"bob smith\"@example.net>", "\"bob smith\"@example.net"},
      {"", "<\"a>b\"@example.net>", "\"a>b\"@example.net"},
      {"", "<bob@[192.0.2.1]>", "bob@[192.0.2.1]"},
      {"", "<bob@[IPv6:2001:db8::1]>", "bob@[IPv6:2001:db8::1]"},
      {"", "<Postmaster>", "Postmaster"},
      {"", "<b.o.b+tag@sub.example.net>", "b.o.b+tag@sub.example.net"},
      {" SMTPUTF8",
       "<j\xC3\xB6rg@b\xC3\xBC"
       "cher.example>",
       "j\xC3\xB6rg@b\xC3\xBC"
       "cher.example"},
      {" SMTPUTF8", "<j\xC3rg@example.net>", "553", true},
      {"", "<bob@[192.0.2.256]>", "553", true},
      {"", "<bob@example..net>", "553", true},
      {"", "<bob@-example.net>", "553", true},
      {"", "<.bob@example.net>", "553", true},
      {"", "<bob smith@example.net>", "553", true},
      {"", "<@example.net>", "501", true},
      {"", "<bob@example.net", "501", true},
  };
  for (const Case& c : cases) {
    session_.reset();
    LoggedIn();
    ASSERT_EQ(Last(std::string("MAIL FROM:<a@example.org>") + c.params + "\r\n")
                  .substr(0, 3),
              "250");
    const std::string reply = Last(std::string("RCPT TO:") + c.path + "\r\n");
    ASSERT_EQ(reply.substr(0, 3), c.refused ? c.address : "250") << c.path;
    if (c.refused) continue;
    Talk("DATA\r\nx\r\n.\r\n");
    ASSERT_EQ(stored_.size(), 1u) << c.path;
    EXPECT_EQ(stored_.back().envelope.forward_paths,
              std::vector<std::string>{c.address});
    stored_.clear();
  }
}

// Command lines that are not lines: each gets a 500 and the session goes on.
TEST_F(SmtpSessionTest, BrokenCommandLinesAreRefused) {
  struct Case {
    std::string line;
    std::string reply;
  } cases[] = {
      {"NOOP\n", "500 5.5.2 Line must end with CRLF, not a bare LF"},
      {"NO\rOP\r\n", "500 5.5.2 Bare CR in a command line"},
      {std::string("NO\0OP\r\n", 7), "500 5.5.2 NUL byte in a command line"},
      {std::string(1000, 'A') + "\r\n", "500 5.5.2 Line too long"},
  };
  for (const Case& c : cases) {
    session_.reset();
    Talk("EHLO c\r\n");
    EXPECT_EQ(Talk(c.line + "NOOP\r\n"), c.reply + "\r\n250 2.0.0 OK\r\n");
  }
}

TEST_F(SmtpSessionTest, EndlessLineIsAnsweredOnceAndNotBuffered) {
  Talk("EHLO c\r\n");
  const std::string chunk(4096, 'x');
  std::string out;
  for (int i = 0; i < 100; ++i) {
    out += Talk(chunk);
    EXPECT_LE(Session().BufferedBytes(), config_.max_command_line);
  }
  EXPECT_EQ(out, "500 5.5.2 Line too long\r\n");
  EXPECT_EQ(Talk("still the same line\r\nNOOP\r\n"), "250 2.0.0 OK\r\n");
  // AUTH lines may be longer than other commands.
  EXPECT_EQ(Last("AUTH PLAIN " + std::string(2000, 'A') + "\r\n"),
            "501 5.5.2 Malformed PLAIN response");
}

TEST_F(SmtpSessionTest, DotUnstuffingAndTheEndMarker) {
  struct Case {
    std::string text;  // after DATA, up to and with the end marker
    std::string stored;
  } cases[] = {
      {".\r\n", ""},
      {"...\r\n.\r\n", "..\r\n"},
      {".x\r\n.\r\n", "x\r\n"},
      {"a\r\n..\r\n.\r\n", "a\r\n.\r\n"},
      {"a.\r\n.\r\n", "a.\r\n"},
      {"a\r\n. \r\n.\r\n", "a\r\n \r\n"},
  };
  for (const Case& c : cases) {
    session_.reset();
    stored_.clear();
    InTransaction();
    EXPECT_EQ(Codes(Talk("DATA\r\n" + c.text)),
              (std::vector<std::string>{"354", "250"}));
    ASSERT_EQ(stored_.size(), 1u);
    EXPECT_EQ(stored_[0].raw, c.stored);
  }
}

// Messages refused at their end, after the whole text was read: nothing is
// stored and the session goes on.
TEST_F(SmtpSessionTest, MessageRefusalsAtTheEndOfData) {
  struct Case {
    std::string mail_params;
    std::string text;
    std::string reply;
  } cases[] = {
      {"", "a\nb\r\n.\r\n",
       "554 5.6.0 Message refused: bare LF in the text, lines must end in "
       "CRLF"},
      // A bare LF never ends a line: "\n.\r\n" is no end marker.
      {"", "a\n.\r\nRSET\r\n.\r\n",
       "554 5.6.0 Message refused: bare LF in the text, lines must end in "
       "CRLF"},
      {"", "a\r\n.\nb\r\n.\r\n",
       "554 5.6.0 Message refused: bare LF in the text, lines must end in "
       "CRLF"},
      {"", "a\rb\r\n.\r\n",
       "554 5.6.0 Message refused: bare CR in the text, lines must end in "
       "CRLF"},
      {"", ".\rb\r\n.\r\n",
       "554 5.6.0 Message refused: bare CR in the text, lines must end in "
       "CRLF"},
      {"", std::string("a\0b\r\n.\r\n", 8),
       "554 5.6.0 Message refused: it contains NUL bytes"},
      {"", std::string(999, 'x') + "\r\n.\r\n",
       "554 5.6.0 Message refused: a line is longer than 998 octets"},
      {"",
       "Subject: x\r\n\r\n" +
           std::string(3000, 'y')
               .replace(1000, 2, "\r\n")
               .replace(2000, 2, "\r\n") +
           "\r\n.\r\n",
       "552 5.3.4 Message size exceeds fixed maximum message size of 2048"},
  };
  config_.max_message_size = 2048;
  for (const Case& c : cases) {
    session_.reset();
    InTransaction(c.mail_params);
    Talk("DATA\r\n");
    EXPECT_EQ(Last(c.text), c.reply);
    EXPECT_TRUE(stored_.empty());
    EXPECT_EQ(Last("NOOP\r\n"), "250 2.0.0 OK");
  }
}

TEST_F(SmtpSessionTest, EightBitIsAcceptedWhereAllowed) {
  struct Case {
    std::string mail_params;
    std::string text;
  } cases[] = {
      {" SMTPUTF8", "Subject: caf\xC3\xA9\r\n\r\nbody\r\n"},
      // As a mail server takes it: an 8-bit header without SMTPUTF8.
      {"", "Subject: caf\xC3\xA9\r\n\r\nbody\r\n"},
      {" BODY=8BITMIME", "Subject: x\r\n\r\ncaf\xC3\xA9\r\n"},
  };
  for (const Case& c : cases) {
    session_.reset();
    stored_.clear();
    InTransaction(c.mail_params);
    EXPECT_EQ(Last("DATA\r\n" + c.text + ".\r\n"), "250 2.0.0 Stored");
    ASSERT_EQ(stored_.size(), 1u);
    EXPECT_EQ(stored_[0].raw, c.text);
  }
}

TEST_F(SmtpSessionTest, OversizedMessageIsReadThroughWithoutBuffering) {
  config_.max_message_size = 10000;
  InTransaction();
  Talk("DATA\r\n");
  const std::string line = std::string(100, 'z') + "\r\n";
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(Talk(line), "");
    EXPECT_LE(Session().BufferedBytes(), config_.max_message_size);
  }
  EXPECT_EQ(Last(".\r\n"),
            "552 5.3.4 Message size exceeds fixed maximum message size of "
            "10000");
  EXPECT_TRUE(stored_.empty());
}

TEST_F(SmtpSessionTest, TheStoresReplyIsPassedOn) {
  struct Case {
    Reply store;
    std::string reply;
  } cases[] = {
      {{451, "4.3.0", "Disk full, try later"},
       "451 4.3.0 Disk full, try later"},
      {{452, "", "No room"}, "452 4.0.0 No room"},
      {{554, "5.6.0", "Unreadable\r\nmessage"},
       "554 5.6.0 Unreadable  message"},
      {{250, "2.0.0", "Queued as 7"}, "250 2.0.0 Queued as 7"},
      {{354, "", "nonsense"}, "451 4.3.0 Message not stored, try again later"},
  };
  for (const Case& c : cases) {
    session_.reset();
    store_reply_ = c.store;
    InTransaction();
    EXPECT_EQ(Last("DATA\r\nx\r\n.\r\n"), c.reply);
    // The transaction is over either way.
    EXPECT_EQ(Last("RCPT TO:<b@example.org>\r\n"),
              "503 5.5.1 Need MAIL before RCPT");
  }
}

// A message handed over to be stored (as the server's storing thread takes
// it) is answered only when its owner says how it went; pipelined commands
// after it wait unread, so their replies follow in order, and an answer that
// comes after the session ended says nothing.
TEST_F(SmtpSessionTest, AHandedOverMessageIsAnsweredWhenStoredAndInputWaits) {
  SessionHooks hooks;
  hooks.check_password = [](const std::string&, const std::string&) {
    return true;
  };
  std::vector<std::string> handed;
  hooks.submit_message = [&](const Envelope&, std::string raw) {
    handed.push_back(std::move(raw));
  };
  SmtpSession session(config_, hooks);
  session.Feed(
      "EHLO c\r\nAUTH PLAIN AGFsaWNlAHNlY3JldA==\r\n"
      "MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n"
      "one\r\n.\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<c@example.org>\r\n"
      "DATA\r\ntwo\r\n.\r\nQUIT\r\n");
  ASSERT_EQ(handed, std::vector<std::string>{"one\r\n"});
  EXPECT_TRUE(session.AwaitingStore());
  EXPECT_EQ(Codes(session.TakeOutput()),
            (std::vector<std::string>{"250", "235", "250", "250", "354"}));
  session.MessageStored({451, "4.3.0", "Disk busy"});
  EXPECT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[1], "two\r\n");
  EXPECT_EQ(Codes(session.TakeOutput()),
            (std::vector<std::string>{"451", "250", "250", "354"}));
  session.MessageStored({250, "2.0.0", "Queued as 2"});
  EXPECT_EQ(session.TakeOutput(),
            "250 2.0.0 Queued as 2\r\n221 2.0.0 localhost closing "
            "connection\r\n");
  EXPECT_TRUE(session.Closed());

  SmtpSession gone(config_, hooks);
  gone.Feed(
      "EHLO c\r\nAUTH PLAIN AGFsaWNlAHNlY3JldA==\r\nMAIL "
      "FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\nx\r\n.\r\n");
  gone.TimedOut();
  gone.TakeOutput();
  gone.MessageStored({250, "2.0.0", "late"});
  EXPECT_EQ(gone.TakeOutput(), "");
}

TEST_F(SmtpSessionTest, SessionEndingMidDataStoresNothing) {
  InTransaction();
  Talk("DATA\r\nSubject: half\r\n\r\nbody\r\n");
  EXPECT_EQ(Session().IdleTimeout(), mail::kDataIdleTimeout);
  Session().TimedOut();
  EXPECT_EQ(Session().TakeOutput(),
            "421 4.4.2 localhost Idle too long, closing\r\n");
  EXPECT_TRUE(Session().Closed());
  Session().Feed(".\r\n");
  EXPECT_EQ(Session().TakeOutput(), "");
  EXPECT_TRUE(stored_.empty());
}

TEST_F(SmtpSessionTest, TooManyErrorsInARowEndTheSession) {
  config_.max_errors = 3;
  Talk("EHLO c\r\n");
  // A success between errors starts the count again.
  EXPECT_EQ(Codes(Talk("X\r\nX\r\nNOOP\r\nX\r\nX\r\n")),
            (std::vector<std::string>{"500", "500", "250", "500", "500"}));
  EXPECT_FALSE(Session().Closed());
  EXPECT_EQ(Talk("X\r\nNOOP\r\n"),
            "500 5.5.1 Command not recognized\r\n"
            "421 4.7.0 localhost Too many errors, closing\r\n");
  EXPECT_TRUE(Session().Closed());
}

// An idle client must not keep its place before login: NOOP, RSET and a
// line never ended do not restart the wait; steps towards login do.
TEST_F(SmtpSessionTest, BeforeLoginOnlyStepsTowardsItRestartTheWait) {
  EXPECT_EQ(Session().IdleTimeout(), mail::kPreLoginIdleTimeout);
  struct Step {
    const char* input;
    bool restarts;
  } steps[] = {
      {"NOOP\r\n", false},      {"RSET\r\n", false},    {"VRFY x\r\n", false},
      {"EHL", false},           {"O client\r\n", true}, {"NOOP\r\n", false},
      {"AUTH PLAIN\r\n", true}, {"*\r\n", true},
  };
  for (const Step& step : steps) {
    Talk(step.input);
    EXPECT_EQ(Session().RestartsIdleTimer(), step.restarts) << step.input;
    EXPECT_EQ(Session().IdleTimeout(), mail::kPreLoginIdleTimeout);
  }
  Talk("AUTH PLAIN " + std::string(kPlainGood) + "\r\n");
  EXPECT_EQ(Session().IdleTimeout(), mail::kCommandIdleTimeout);
  Talk("NOOP\r\n");
  EXPECT_TRUE(Session().RestartsIdleTimer());
}

// Each failed login is answered after a pause twice the one before, what
// came after it waits unread, and the last failure allowed closes.
TEST_F(SmtpSessionTest, FailedLoginsArePausedAndTheLastEndsTheSession) {
  Talk("EHLO c\r\n");
  const std::string wrong = "AUTH PLAIN " + std::string(kPlainWrong) + "\r\n";
  for (int i = 0; i < mail::kMaxAuthFailures; ++i) {
    const bool last = i + 1 == mail::kMaxAuthFailures;
    EXPECT_EQ(Talk(wrong + "NOOP\r\n"),
              "535 5.7.8 Authentication credentials invalid\r\n" +
                  std::string(last ? "421 4.7.0 localhost Too many failed "
                                     "logins, closing\r\n"
                                   : ""));
    EXPECT_EQ(Session().ReplyDelay(), mail::kAuthFailureDelay * (1 << i));
    EXPECT_EQ(Talk("NOOP\r\n"), "");  // held while the pause lasts
    Session().Resume();
    EXPECT_EQ(Session().TakeOutput(),
              last ? "" : "250 2.0.0 OK\r\n250 2.0.0 OK\r\n");
    EXPECT_EQ(Session().Closed(), last);
  }
}

TEST_F(SmtpSessionTest, QuitClosesAndLaterInputIsIgnored) {
  EXPECT_EQ(Talk("QUIT\r\nNOOP\r\n"), "221 localhost closing connection\r\n");
  EXPECT_TRUE(Session().Closed());
  EXPECT_EQ(Talk("NOOP\r\n"), "");
}

}  // namespace
