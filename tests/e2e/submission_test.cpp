// Real mail clients submitting to the device's SMTP submission server
// (tarnvex-device run): swaks with STARTTLS and AUTH, Python's smtplib and
// msmtp. What they send lands in the E-mail store's Outbox with its envelope
// recipients, kept as sent, and the filter judges it; a transport killed
// right after each "250" loses none of them; the session's refusals meet
// a client over a real socket as clear replies that store nothing.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/codepage.h"
#include "mail/smtpd/credentials.h"
#include "tests/e2e/filter_fixture.h"

namespace {

using testing_support::AfterAddedFields;
using testing_support::BinPath;
using testing_support::Eventually;
using testing_support::FilterEndToEndTest;
using testing_support::RunProgram;

class SubmissionTest : public FilterEndToEndTest {
 protected:
  bool ServesSubmission() const override { return true; }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FilterEndToEndTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(RegisterFilter());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    dir_ = testing_support::MakeTempDir("tarnvex-clients-");
    ASSERT_TRUE(mail::ReadSubmissionPassword(&password_));
    std::ofstream(dir_ + "/password") << password_ << "\n";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    FilterEndToEndTest::TearDown();
  }

  // Runs a shell command line; its exit code and (stdout and stderr) output.
  int Shell(const std::string& command, std::string* out = nullptr) {
    return RunProgram({"/bin/sh", "-c", command + " 2>&1"}, out);
  }
  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
  }
  std::string Port() const { return std::to_string(submission_port_); }

  int64_t NewestMail() {
    std::vector<device::ServiceMessage> all =
        device::ListMessages("E-mail", "");
    return all.empty() ? 0 : all.back().id;
  }

  std::string dir_;
  std::string password_;
};

TEST_F(SubmissionTest, SwaksWithStartTlsAndAuthIsHeldAndKeptAsSent) {
  const std::string message =
      "From: Anna <anna@example.org>\r\n"
      "To: Bob <bob@example.org>\r\n"
      "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n"
      "\r\n"
      "See you at noon.\r\n"
      ". a line that begins with a dot";
  const std::string data = Write("message", message);
  std::string out;
  ASSERT_EQ(
      Shell("swaks --server 127.0.0.1 --port " + Port() +
                " --tls --auth-user tarnvex --auth-password '" + password_ +
                "' --from anna@example.org --to bob@example.org "
                "--data '" +
                data + "'",
            &out),
      0)
      << out;
  EXPECT_NE(out.find("<~  250 2.0.0 Ok: queued as"), std::string::npos) << out;
  const int64_t id = NewestMail();
  ASSERT_GT(id, 0);
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  device::KeptMail kept;
  ASSERT_TRUE(device::GetKeptMail(id, &kept));
  // Byte for byte what swaks sent, behind the device's Received line and the
  // Date and Message-ID it lacked: swaks stuffs the line with a leading dot
  // (the server unstuffs it) and ends the last line.
  EXPECT_EQ(AfterAddedFields(kept.raw, {"Received", "Date", "Message-ID"}),
            message + "\r\n");
  EXPECT_EQ(kept.envelope_from, "anna@example.org");
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(id, &m));
  EXPECT_EQ(m.subject, u"Gr\u00fc\u00dfe");
  EXPECT_EQ(m.recipients, std::vector<std::u16string>{u"bob@example.org"});
}

TEST_F(SubmissionTest, SmtplibCoveredGoesAndABccNoRuleCoversHolds) {
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("bob@example.org"));
  const std::string script =
      Write("send.py",
            "import smtplib, ssl, sys\n"
            "from email.message import EmailMessage\n"
            "def send(subject, bcc):\n"
            "    m = EmailMessage()\n"
            "    m['From'] = 'anna@example.org'\n"
            "    m['To'] = 'bob@example.org'\n"
            "    if bcc: m['Bcc'] = bcc\n"
            "    m['Subject'] = subject\n"
            "    m.set_content('Hello')\n"
            "    ctx = ssl.create_default_context(cafile=sys.argv[3])\n"
            "    ctx.check_hostname = False\n"
            "    with smtplib.SMTP('127.0.0.1', int(sys.argv[1])) as s:\n"
            "        s.starttls(context=ctx)\n"
            "        s.login('tarnvex', sys.argv[2])\n"
            "        s.send_message(m)\n"
            "send('covered', None)\n"
            "send('with bcc', 'eve@example.net')\n");
  std::string out;
  ASSERT_EQ(
      Shell("/usr/bin/python3 '" + script + "' " + Port() + " '" + password_ +
                "' '" + mail::CredentialFiles().certificate + "'",
            &out),
      0)
      << out;
  std::vector<device::ServiceMessage> mail = device::ListMessages("E-mail", "");
  ASSERT_EQ(mail.size(), 2u);
  EXPECT_TRUE(Eventually([&] { return FolderOf(mail[0].id) == "Sent Items"; }));
  EXPECT_TRUE(
      Eventually([&] { return FolderOf(mail[1].id) == "Outbox\\Tarnvex"; }));
  EXPECT_EQ(mail[1].recipients, (std::vector<std::u16string>{
                                    u"bob@example.org", u"eve@example.net"}));
  device::KeptMail kept;
  ASSERT_TRUE(device::GetKeptMail(mail[1].id, &kept));
  EXPECT_EQ(kept.raw.find("eve@example.net"), std::string::npos);
}

TEST_F(SubmissionTest, MsmtpVerifyingTheDevicesCertificateIsHeld) {
  const std::string config =
      Write("msmtprc", "account device\nhost 127.0.0.1\nport " + Port() +
                           "\ntls on\ntls_starttls on\ntls_trust_file " +
                           mail::CredentialFiles().certificate +
                           "\ntls_host_override localhost\nauth on\nuser "
                           "tarnvex\npasswordeval cat '" +
                           dir_ +
                           "/password'\nfrom anna@example.org\n"
                           "account default : device\n");
  Shell("chmod 600 '" + config + "'");
  const std::string message =
      Write("m",
            "From: anna@example.org\nTo: carol@example.net\nSubject: msmtp\n\n"
            "Hi\n");
  std::string out;
  ASSERT_EQ(
      Shell("msmtp -C '" + config + "' carol@example.net < '" + message + "'",
            &out),
      0)
      << out;
  const int64_t id = NewestMail();
  ASSERT_GT(id, 0);
  EXPECT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
}

// The session's refusals (tests/mail/smtpd/smtp_session_test.cpp pins each
// one) as a client meets them over a real socket, in one run of the server.
TEST_F(SubmissionTest, RefusalsGetClearRepliesNothingIsStoredAndServingGoesOn) {
  // Each case on a connection of its own, the server's reply codes printed
  // one a line (a refused login with its whole reply); then a well-formed
  // message still goes through.
  const std::string script = Write(
      "hostile.py",
      "import base64, socket, sys, time\n"
      "port, pw = int(sys.argv[1]), sys.argv[2]\n"
      "def session():\n"
      "    s = socket.create_connection(('127.0.0.1', port))\n"
      "    f = s.makefile('rb')\n"
      "    def reply():\n"
      "        while True:\n"
      "            line = f.readline()\n"
      "            if not line or line[3:4] != b'-': return line[:3].decode()\n"
      "    reply()\n"
      "    s.sendall(b'EHLO t\\r\\n'); reply()\n"
      "    auth = base64.b64encode(b'\\0tarnvex\\0' + pw.encode())\n"
      "    s.sendall(b'AUTH PLAIN ' + auth + b'\\r\\n'); reply()\n"
      "    return s, reply\n"
      "def login(password, auth=True):\n"
      "    s = socket.create_connection(('127.0.0.1', port))\n"
      "    f = s.makefile('rb')\n"
      "    def reply():\n"
      "        while True:\n"
      "            line = f.readline()\n"
      "            if not line or line[3:4] != b'-': return "
      "line.decode().strip()\n"
      "    reply()\n"
      "    s.sendall(b'EHLO t\\r\\n'); reply()\n"
      "    if auth:\n"
      "        a = base64.b64encode(b'\\0tarnvex\\0' + password.encode())\n"
      "        s.sendall(b'AUTH PLAIN ' + a + b'\\r\\n'); r = reply()\n"
      "        if r[:3] != '235': return r\n"
      "    s.sendall(b'MAIL FROM:<anna@example.org>\\r\\n'); return reply()\n"
      "print('wrong-password', login('wrong'))\n"
      "# Without AUTH no mail is taken.\n"
      "print('no-auth', login(pw, auth=False))\n"
      "def data(body, rcpts=1, mail=b'MAIL FROM:<a@example.org>'):\n"
      "    s, reply = session()\n"
      "    s.sendall(mail + b'\\r\\n'); r = reply()\n"
      "    if r != '250': return r\n"
      "    for i in range(rcpts):\n"
      "        s.sendall(b'RCPT TO:<r%d@example.org>\\r\\n' % i); r = reply()\n"
      "    if rcpts > 1: return r\n"
      "    s.sendall(b'DATA\\r\\n'); reply()\n"
      "    s.sendall(body + b'\\r\\n.\\r\\n'); return reply()\n"
      "print('bare-lf', data(b'Subject: x\\r\\n\\r\\nline\\nmore'))\n"
      "print('nul', data(b'Subject: x\\r\\n\\r\\na\\0b'))\n"
      "print('8bit-header', data('Subject: "
      "Gr\\u00fc\\u00dfe\\r\\n\\r\\nx'.encode()))\n"
      "print('long-line', data(b'Subject: x\\r\\n\\r\\n' + b'y' * 5000))\n"
      "print('size', data(b'', mail=b'MAIL FROM:<a@example.org> "
      "SIZE=999999999'))\n"
      "print('recipients', data(b'', rcpts=1001))\n"
      "s, reply = session()\n"
      "s.sendall(b'MAIL FROM:<a@example.org>\\r\\nRCPT "
      "TO:<b@example.org>\\r\\n'\n"
      "          b'DATA\\r\\n'); reply(); reply(); reply()\n"
      "s.sendall(b'Subject: cut\\r\\n\\r\\nhalf a message'); s.close()\n"
      "flood = [socket.create_connection(('127.0.0.1', port)) for i in "
      "range(40)]\n"
      "time.sleep(0.5)\n"
      "codes = set()\n"
      "for c in flood:\n"
      "    c.settimeout(5)\n"
      "    codes.add(c.makefile('rb').readline()[:3].decode())\n"
      "print('flood', ' '.join(sorted(codes)))\n"
      "for c in flood: c.close()\n"
      "time.sleep(0.5)\n"
      "print('after', data(b'Subject: fine\\r\\n\\r\\nstill served'))\n");
  std::string out;
  ASSERT_EQ(Shell("/usr/bin/python3 '" + script + "' " + Port() + " '" +
                      password_ + "'",
                  &out),
            0)
      << out;
  EXPECT_NE(out.find("wrong-password 535 5.7.8"), std::string::npos) << out;
  EXPECT_NE(out.find("no-auth 530 5.7.0"), std::string::npos) << out;
  EXPECT_NE(out.find("bare-lf 554"), std::string::npos) << out;
  EXPECT_NE(out.find("nul 554"), std::string::npos) << out;
  // 8-bit UTF-8 in the header without SMTPUTF8 is taken, as a mail server
  // takes it.
  EXPECT_NE(out.find("8bit-header 250"), std::string::npos) << out;
  EXPECT_NE(out.find("long-line 554"), std::string::npos) << out;
  EXPECT_NE(out.find("size 552"), std::string::npos) << out;
  EXPECT_NE(out.find("recipients 452"), std::string::npos) << out;
  EXPECT_NE(out.find("flood 220 421"), std::string::npos) << out;
  EXPECT_NE(out.find("after 250"), std::string::npos) << out;
  // Only those two were stored (nothing of the refused logins), the subject
  // as it was written.
  std::vector<device::ServiceMessage> mail = device::ListMessages("E-mail", "");
  ASSERT_EQ(mail.size(), 2u);
  EXPECT_EQ(mail[0].subject, u"Gr\u00fc\u00dfe");
  EXPECT_EQ(mail[1].subject, u"fine");
}

TEST_F(SubmissionTest, ATransportKilledRightAfterEachAcceptLosesNothing) {
  constexpr int kMessages = 50;
  const std::string script = Write(
      "one.py",
      "import smtplib, sys\n"
      "with smtplib.SMTP('127.0.0.1', int(sys.argv[1])) as s:\n"
      "    s.login('tarnvex', sys.argv[2])\n"
      "    s.sendmail('anna@example.org', ['bob@example.org'],\n"
      "               'Subject: n' + sys.argv[3] + '\\r\\n\\r\\nx\\r\\n')\n"
      "    import os; os.kill(int(sys.argv[4]), 9)\n");
  for (int i = 0; i < kMessages; ++i) {
    std::string out;
    // The client kills the transport the moment its "250" arrives.
    ASSERT_EQ(Shell("/usr/bin/python3 '" + script + "' " + Port() + " '" +
                        password_ + "' " + std::to_string(i) + " " +
                        std::to_string(transport_.pid()),
                    &out),
              0)
        << out;
    transport_.Wait(5000);
    ASSERT_NO_FATAL_FAILURE(StartTransport());
  }
  std::vector<device::ServiceMessage> mail = device::ListMessages("E-mail", "");
  ASSERT_EQ(mail.size(), static_cast<size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) {
    EXPECT_EQ(mail[i].subject, u"n" + device::Utf8ToWide(std::to_string(i)));
    device::KeptMail kept;
    EXPECT_TRUE(device::GetKeptMail(mail[i].id, &kept)) << i;
  }
}

}  // namespace
