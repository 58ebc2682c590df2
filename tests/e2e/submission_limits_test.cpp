// The submission server as a mail server must be: idle connections, of
// another user or of the owner, never lock the owner out for good; a port
// that cannot be served ends `run` with status 1; a changed port is
// followed while it runs. Real processes: the transport, msmtp, idle
// clients in Python (as another user made with useradd where root).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mail/smtpd/credentials.h"
#include "tests/e2e/filter_fixture.h"

namespace {

using testing_support::BinPath;
using testing_support::ChildProcess;
using testing_support::Eventually;
using testing_support::FilterEndToEndTest;
using testing_support::RunProgram;

// Opens N connections and reads each greeting ("greeted 220:4 421:36"),
// then sends NOOP every 5 s on those served, as an idle client that wants
// to keep its place, until the server ends them or T seconds passed
// ("ended 421:4 open 0").
constexpr char kIdleClients[] = R"(import collections, select, socket, sys, time
port, n, limit = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
served, codes = [], collections.Counter()
for i in range(n):
    c = socket.create_connection(('127.0.0.1', port))
    c.settimeout(10)
    code = c.recv(512)[:3].decode() or 'eof'
    codes[code] += 1
    (served if code == '220' else []).append(c)
print('greeted', ' '.join('%s:%d' % kv for kv in sorted(codes.items())),
      flush=True)
ends, start, noop = collections.Counter(), time.time(), 0
while served and time.time() - start < limit:
    if time.time() >= noop:
        for c in served:
            try: c.sendall(b'NOOP\r\n')
            except OSError: pass
        noop = time.time() + 5
    for c in select.select(served, [], [], 1)[0]:
        try: data = c.recv(4096)
        except OSError: data = b''
        if not data or b'421' in data:
            ends[data[:3].decode() if b'421' in data else 'eof'] += 1
            served.remove(c)
            c.close()
print('ended', ' '.join('%s:%d' % kv for kv in sorted(ends.items())),
      'open %d' % len(served), flush=True)
)";

class SubmissionLimitsTest : public FilterEndToEndTest {
 protected:
  bool ServesSubmission() const override { return true; }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FilterEndToEndTest::SetUp());
    dir_ = testing_support::MakeTempDir("tarnvex-limits-");
    // Readable by the other user, who runs the idle clients.
    std::filesystem::permissions(dir_, std::filesystem::perms::all);
    std::string password;
    ASSERT_TRUE(mail::ReadSubmissionPassword(&password));
    std::ofstream(dir_ + "/password") << password << "\n";
    std::ofstream(dir_ + "/idle.py") << kIdleClients;
    std::filesystem::permissions(dir_ + "/idle.py",
                                 std::filesystem::perms::all);
  }
  void TearDown() override {
    idle_.Kill();
    if (!other_user_.empty()) RunProgram({"/usr/sbin/userdel", other_user_});
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    FilterEndToEndTest::TearDown();
  }

  // `run_as` empty: this process's user.
  void StartIdleClients(int count, int seconds, const std::string& run_as,
                        std::string* greeted) {
    std::vector<std::string> argv = {
        "/usr/bin/python3", dir_ + "/idle.py", std::to_string(submission_port_),
        std::to_string(count), std::to_string(seconds)};
    if (!run_as.empty())
      argv.insert(argv.begin(), {"/usr/sbin/runuser", "-u", run_as, "--"});
    ASSERT_TRUE(idle_.Start(argv, {}, true));
    ASSERT_TRUE(idle_.WaitForLine("greeted ", greeted, 30000)) << *greeted;
  }

  // msmtp as the owner; its exit status and output.
  int Msmtp(std::string* out) {
    const std::string config = dir_ + "/msmtprc";
    std::ofstream(config, std::ios::trunc)
        << "account device\nhost 127.0.0.1\nport " << submission_port_
        << "\ntls on\ntls_starttls on\ntls_trust_file "
        << mail::CredentialFiles().certificate
        << "\ntls_host_override localhost\nauth on\nuser tarnvex\n"
           "passwordeval cat '"
        << dir_ << "/password'\nfrom anna@example.org\naccount default : "
        << "device\n";
    std::filesystem::permissions(config,
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::owner_write);
    return RunProgram({"/bin/sh", "-c",
                       "printf 'Subject: limits\\n\\nhi\\n' | msmtp -C '" +
                           config + "' bob@example.org 2>&1"},
                      out);
  }

  std::string dir_, other_user_;
  ChildProcess idle_;
};

TEST_F(SubmissionLimitsTest, AnotherUsersIdleConnectionsLeaveTheOwnerServed) {
  if (geteuid() != 0)
    GTEST_SKIP() << "makes another user with useradd, which needs root";
  other_user_ = "tvx-peer-" + std::to_string(getpid());
  ASSERT_EQ(RunProgram({"/usr/sbin/useradd", "--system", "--no-create-home",
                        "--shell", "/usr/sbin/nologin", other_user_}),
            0);
  std::string line;
  ASSERT_NO_FATAL_FAILURE(StartIdleClients(40, 40, other_user_, &line));
  EXPECT_EQ(line, "greeted 220:4 421:36");
  std::string out;
  EXPECT_EQ(Msmtp(&out), 0) << out;
  EXPECT_EQ(device::ListMessages("E-mail", "").size(), 1u);
  // Their four are ended before they log in, NOOP or not.
  ASSERT_TRUE(idle_.WaitForLine("ended ", &line, 30000));
  EXPECT_EQ(line, "ended 421:4 open 0");
}

TEST_F(SubmissionLimitsTest, TheOwnersOwnIdleConnectionsAreFreedBeforeLogin) {
  std::string line;
  ASSERT_NO_FATAL_FAILURE(StartIdleClients(40, 60, "", &line));
  EXPECT_EQ(line, "greeted 220:32 421:8");
  std::string out;
  EXPECT_NE(Msmtp(&out), 0) << out;
  EXPECT_NE(out.find("421 4.7.0 too many connections"), std::string::npos)
      << out;
  // NOOP every 5 s keeps none of them: each is ended 30 s after connecting.
  ASSERT_TRUE(idle_.WaitForLine("ended ", &line, 50000));
  EXPECT_EQ(line, "ended 421:32 open 0");
  EXPECT_EQ(Msmtp(&out), 0) << out;
}

// A port on 127.0.0.1 that something else listens on, kept while it lives.
struct TakenPort {
  TakenPort() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(a);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), size) == 0 &&
        listen(fd, 1) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
      port = ntohs(a.sin_port);
  }
  ~TakenPort() { close(fd); }
  int fd = -1;
  int port = 0;
};

// A port free now (taken and given back).
int FreePort() { return TakenPort().port; }

class SubmissionPortTest : public SubmissionLimitsTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(SubmissionLimitsTest::SetUp());
    transport_.Kill();  // each test runs its own, on the image's setting
  }
  void SetPort(int port) {
    std::string out;
    ASSERT_EQ(RunProgram({BinPath("tarnvex-device"), "--root", image_->root(),
                          "mail", "submission", "--port", std::to_string(port)},
                         &out),
              0)
        << out;
  }
  std::vector<std::string> RunArgs() {
    return {BinPath("tarnvex-device"), "--root", image_->root(), "run",
            "--send-delay-ms",         "400"};
  }
};

TEST_F(SubmissionPortTest, APortTakenEndsRunWithStatus1AndSaysWhy) {
  TakenPort taken;
  ASSERT_GT(taken.port, 0);
  ASSERT_NO_FATAL_FAILURE(SetPort(taken.port));
  ChildProcess run;
  ASSERT_TRUE(run.Start(RunArgs(), {}, true));
  std::string line;
  EXPECT_TRUE(
      run.WaitForLine("tarnvex-device: cannot serve mail submission: "
                      "cannot listen on 127.0.0.1:" +
                          std::to_string(taken.port),
                      &line, 20000))
      << line;
  int status = 0;
  ASSERT_TRUE(run.Wait(20000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

TEST_F(SubmissionPortTest, AChangedPortIsFollowedAndATakenOneKeepsTheOld) {
  const int first = FreePort(), second = FreePort();
  ASSERT_NO_FATAL_FAILURE(SetPort(first));
  ChildProcess run;
  ASSERT_TRUE(run.Start(RunArgs(), {}, true));
  std::string line;
  ASSERT_TRUE(run.WaitForLine(
      "submission server on 127.0.0.1:" + std::to_string(first), &line));
  ASSERT_NO_FATAL_FAILURE(SetPort(second));
  ASSERT_TRUE(run.WaitForLine(
      "submission server on 127.0.0.1:" + std::to_string(second), &line))
      << line;
  submission_port_ = second;
  std::string out;
  EXPECT_EQ(Msmtp(&out), 0) << out;
  submission_port_ = first;
  EXPECT_NE(Msmtp(&out), 0) << out;  // nobody listens there any more
  TakenPort taken;
  ASSERT_NO_FATAL_FAILURE(SetPort(taken.port));
  ASSERT_TRUE(run.WaitForLine(
      "tarnvex-device: submission server stays on "
      "127.0.0.1:" +
          std::to_string(second) +
          ": cannot listen on 127.0.0.1:" + std::to_string(taken.port),
      &line))
      << line;
  submission_port_ = second;
  EXPECT_EQ(Msmtp(&out), 0) << out;
}

}  // namespace
