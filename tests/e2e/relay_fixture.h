// The end-to-end fixture of delivery through a relay: the device's
// processes (transport, filter) as in filter_fixture.h, and a real SMTP
// server as the relay (tests/e2e/smtp_relay.py: aiosmtpd with STARTTLS and
// AUTH on 127.0.0.1, its certificate made here with openssl), whose
// accepted messages the test reads from the files it writes.
#ifndef TARNVEX_TESTS_E2E_RELAY_FIXTURE_H_
#define TARNVEX_TESTS_E2E_RELAY_FIXTURE_H_

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mail/queue/submission.h"
#include "tests/e2e/filter_fixture.h"

namespace testing_support {

inline constexpr char kRelayUser[] = "relay-user";
inline constexpr char kRelayPassword[] = "relay secret";

// A message the relay accepted: its envelope and its bytes as received.
struct Arrival {
  std::string from;
  std::vector<std::string> to;
  std::string data;
};

class RelayEndToEndTest : public FilterEndToEndTest {
 protected:
  // The first retry's pause (each next one twice as long).
  virtual int RetryBaseMs() const { return 300; }
  std::vector<std::string> TransportArgs() const override {
    return {"--retry-base-ms", std::to_string(RetryBaseMs())};
  }

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FilterEndToEndTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(RegisterFilter());
    ASSERT_NO_FATAL_FAILURE(StartHost());
    dir_ = MakeTempDir("tarnvex-relay-");
    received_ = dir_ + "/received";
    std::filesystem::create_directories(received_);
    cert_ = dir_ + "/relay-cert.pem";
    key_ = dir_ + "/relay-key.pem";
    ASSERT_EQ(
        RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec",
                    "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                    key_, "-out", cert_, "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"}),
        0);
    password_file_ = dir_ + "/relay-password";
    std::ofstream(password_file_) << kRelayPassword << "\n";
  }
  void TearDown() override {
    relay_.Kill();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    FilterEndToEndTest::TearDown();
  }

  // Starts the relay (on the port it had before, once it had one), with
  // smtp_relay.py's options (--defer-data N, --reject ADDR).
  void StartRelay(const std::vector<std::string>& options = {}) {
    const char* source = std::getenv("TARNVEX_SOURCE_DIR");
    std::vector<std::string> argv = {
        "/usr/bin/python3",
        std::string(source != nullptr ? source : ".") +
            "/tests/e2e/smtp_relay.py",
        "--port",
        std::to_string(relay_port_),
        "--cert",
        cert_,
        "--key",
        key_,
        "--user",
        kRelayUser,
        "--password",
        kRelayPassword,
        "--record",
        received_};
    argv.insert(argv.end(), options.begin(), options.end());
    ASSERT_TRUE(relay_.Start(argv, {}, true));
    std::string line;
    ASSERT_TRUE(relay_.WaitForLine("ready ", &line, 20000)) << line;
    relay_port_ = std::atoi(line.c_str() + 6);
    ASSERT_GT(relay_port_, 0) << line;
  }
  void StopRelay() { relay_.Kill(); }

  // `mail relay set` to the relay with STARTTLS, its login and its
  // certificate (`trust_certificate` false: the system's authorities only,
  // which do not know it).
  void UseRelay(bool trust_certificate = true) {
    std::vector<std::string> argv = {
        BinPath("tarnvex-device"),
        "--root",
        image_->root(),
        "mail",
        "relay",
        "set",
        "smtp://127.0.0.1:" + std::to_string(relay_port_),
        "--user",
        kRelayUser,
        "--password-file",
        password_file_,
        "--starttls"};
    if (trust_certificate) argv.insert(argv.end(), {"--ca-file", cert_});
    std::string out;
    ASSERT_EQ(RunProgram(argv, &out), 0) << out;
    EXPECT_EQ(out.find(kRelayPassword), std::string::npos) << out;
  }

  // Everything the relay accepted so far, in the order it accepted it.
  std::vector<Arrival> Arrivals() const {
    std::vector<std::pair<std::filesystem::file_time_type, std::string>> files;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator(received_, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.empty() || name[0] == '.') continue;
      files.emplace_back(entry.last_write_time(ec), entry.path().string());
    }
    std::sort(files.begin(), files.end());
    std::vector<Arrival> out;
    for (const auto& [when, path] : files) {
      std::ifstream in(path, std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      Arrival a;
      size_t pos = 0;
      while (pos < text.size() && text[pos] != '\n') {
        const size_t nl = text.find('\n', pos);
        const std::string line = text.substr(pos, nl - pos);
        const size_t open = line.find('<'), close = line.rfind('>');
        const std::string address =
            open != std::string::npos && close != std::string::npos
                ? line.substr(open + 1, close - open - 1)
                : "";
        if (line.rfind("MAIL FROM:", 0) == 0) a.from = address;
        if (line.rfind("RCPT TO:", 0) == 0) a.to.push_back(address);
        pos = nl + 1;
      }
      a.data = text.substr(std::min(pos + 1, text.size()));
      out.push_back(std::move(a));
    }
    return out;
  }
  // How many accepted messages went to `recipient`.
  int ArrivalsFor(const std::string& recipient) const {
    int n = 0;
    for (const Arrival& a : Arrivals())
      n += static_cast<int>(std::count(a.to.begin(), a.to.end(), recipient));
    return n;
  }

  // A message into the E-mail store's Outbox as the submission server puts
  // it there (kept raw, durably).
  int64_t SubmitMail(const std::string& from,
                     const std::vector<std::string>& to,
                     const std::string& raw) {
    mail::Submission s;
    s.store = "E-mail";
    s.envelope_from = from;
    s.recipients = to;
    s.raw = raw;
    const base::StatusOr<int64_t> stored = mail::Submit(s);
    EXPECT_TRUE(stored.ok()) << stored.status().ToString();
    return stored.ok() ? *stored : 0;
  }

  // The `tarnvex-device ls` line of message `id`.
  std::string LsLine(int64_t id) {
    std::string out;
    RunProgram({BinPath("tarnvex-device"), "--root", image_->root(), "ls",
                "--store", "E-mail"},
               &out);
    std::istringstream lines(out);
    const std::string prefix = std::to_string(id) + "\t";
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(prefix, 0) == 0) return line;
    }
    return "";
  }

  std::string dir_, received_, cert_, key_, password_file_;
  ChildProcess relay_;
  int relay_port_ = 0;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_E2E_RELAY_FIXTURE_H_
