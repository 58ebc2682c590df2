// A private Postfix instance for the gateway's tests: its own config,
// queue and data folders in a temporary folder, smtpd on a free loopback
// port, relayhost a sink on another (tests/gateway/smtp_sink.py, aiosmtpd),
// the milter set as the README's "An organisation's gateway" sets it. Needs
// root (Postfix's master runs as root, its daemons as the postfix user) and
// Debian's postfix; the tests skip, saying why, without them.
#ifndef TARNVEX_TESTS_GATEWAY_POSTFIX_FIXTURE_H_
#define TARNVEX_TESTS_GATEWAY_POSTFIX_FIXTURE_H_

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace testing_support {

// A port on 127.0.0.1 that nobody listens on now.
inline int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t size = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  close(fd);
  return ntohs(addr.sin_port);
}

// Why the Postfix tests cannot run here ("" when they can).
inline std::string PostfixMissing() {
  if (geteuid() != 0) return "the private Postfix needs root";
  if (access("/usr/sbin/postfix", X_OK) != 0 ||
      access("/usr/lib/postfix/sbin/master", X_OK) != 0)
    return "Postfix is not installed (Debian package postfix)";
  if (access("/usr/bin/swaks", X_OK) != 0) return "swaks is not installed";
  return "";
}

inline std::string SourceDir() {
  const char* source = std::getenv("TARNVEX_SOURCE_DIR");
  return source != nullptr ? source : ".";
}

// A message the sink accepted: its envelope and bytes.
struct Arrival {
  std::string from;
  std::vector<std::string> to;
  std::string data;
};

class Sink {
 public:
  ~Sink() { process_.Kill(); }
  bool Start(const std::string& dir) {
    dir_ = dir;
    std::filesystem::create_directories(dir_);
    if (!process_.Start(
            {"/usr/bin/python3", SourceDir() + "/tests/gateway/smtp_sink.py",
             "--port", "0", "--record", dir_},
            {}, true))
      return false;
    std::string line;
    if (!process_.WaitForLine("ready ", &line, 20000)) return false;
    port_ = std::atoi(line.c_str() + 6);
    return port_ > 0;
  }
  int port() const { return port_; }
  std::vector<Arrival> Arrivals() const {
    std::vector<Arrival> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name.empty() || name[0] == '.') continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      const std::string all = text.str();
      Arrival arrival;
      std::istringstream lines(all);
      std::string line;
      size_t consumed = 0;
      while (std::getline(lines, line)) {
        consumed += line.size() + 1;
        if (line.empty()) break;
        if (line.rfind("MAIL FROM:<", 0) == 0)
          arrival.from = line.substr(11, line.size() - 12);
        if (line.rfind("RCPT TO:<", 0) == 0)
          arrival.to.push_back(line.substr(9, line.size() - 10));
      }
      arrival.data = all.substr(std::min(consumed, all.size()));
      out.push_back(std::move(arrival));
    }
    return out;
  }
  // How many arrivals went to `recipient`.
  int CountTo(const std::string& recipient) const {
    int n = 0;
    for (const Arrival& a : Arrivals())
      for (const std::string& to : a.to)
        if (to == recipient) ++n;
    return n;
  }

 private:
  ChildProcess process_;
  std::string dir_;
  int port_ = 0;
};

class PrivatePostfix {
 public:
  ~PrivatePostfix() { Stop(); }

  // `base`: a folder of its own (made world-searchable: Postfix's daemons
  // run as the postfix user). `milter`: Postfix's name of the milter
  // ("inet:127.0.0.1:PORT"), "" for none.
  bool Start(const std::string& base, const std::string& hostname,
             int sink_port, const std::string& milter,
             const std::vector<std::string>& extra_main = {}) {
    base_ = base;
    config_ = base + "/etc";
    port_ = FreePort();
    for (const char* d : {"/etc", "/spool", "/data"})
      std::filesystem::create_directories(base + d);
    chmod(base.c_str(), 0755);
    if (chown((base + "/data").c_str(), PostfixUid(), static_cast<gid_t>(-1)) !=
        0)
      return false;
    std::ofstream main(config_ + "/main.cf");
    main << "compatibility_level = 3.6\n"
         << "queue_directory = " << base << "/spool\n"
         << "data_directory = " << base << "/data\n"
         << "meta_directory = /etc/postfix\n"
         << "command_directory = /usr/sbin\n"
         << "daemon_directory = /usr/lib/postfix/sbin\n"
         << "shlib_directory = /usr/lib/postfix\n"
         << "mail_owner = postfix\nsetgid_group = postdrop\n"
         << "myhostname = " << hostname << "\n"
         << "mydomain = tarnvex.test\nmyorigin = $myhostname\n"
         << "mydestination =\nlocal_recipient_maps =\nalias_maps =\n"
         << "alias_database =\nbiff = no\n"
         << "inet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
         << "mynetworks = 127.0.0.0/8\n"
         << "smtpd_relay_restrictions = permit_mynetworks, reject\n"
         << "relayhost = [127.0.0.1]:" << sink_port << "\n"
         << "smtp_dns_support_level = disabled\n"
         << "maillog_file = " << base << "/maillog\n"
         << "maillog_file_prefixes = " << base << "\n"
         << "syslog_name = tarnvex-test\n"
         << "smtpd_recipient_limit = 20000\n"
         << "message_size_limit = 20480000\n"
         << "queue_run_delay = 300s\nminimal_backoff_time = 300s\n";
    if (!milter.empty()) {
      main << "smtpd_milters = " << milter << "\n"
           << "non_smtpd_milters = " << milter << "\n"
           << "milter_default_action = tempfail\n"
           << "milter_connect_timeout = 5s\n";
    }
    for (const std::string& line : extra_main) main << line << "\n";
    main.close();
    std::ofstream master(config_ + "/master.cf");
    master << "127.0.0.1:" << port_ << " inet n - n - - smtpd\n";
    for (const char* line :
         {"pickup unix n - n 60 1 pickup", "cleanup unix n - n - 0 cleanup",
          "qmgr unix n - n 300 1 qmgr",
          "rewrite unix - - n - - trivial-rewrite",
          "bounce unix - - n - 0 bounce", "defer unix - - n - 0 bounce",
          "trace unix - - n - 0 bounce", "verify unix - - n - 1 verify",
          "flush unix n - n 1000? 0 flush", "proxymap unix - - n - - proxymap",
          "smtp unix - - n - - smtp", "relay unix - - n - - smtp",
          "showq unix n - n - - showq", "error unix - - n - - error",
          "retry unix - - n - - error", "discard unix - - n - - discard",
          "anvil unix - - n - 1 anvil", "scache unix - - n - 1 scache",
          "postlog unix-dgram n - n - 1 postlogd"})
      master << line << "\n";
    master.close();
    std::string said;
    started_ = RunProgram({"/bin/sh", "-c",
                           "/usr/sbin/postfix -c '" + config_ + "' start 2>&1"},
                          &said) == 0;
    if (!started_) {
      why_ = "postfix start: " + said + Log();
      return false;
    }
    // Started once smtpd answers.
    for (int i = 0; i < 100; ++i) {
      std::string out;
      if (RunProgram(
              {"/usr/bin/swaks", "--server",
               "127.0.0.1:" + std::to_string(port_), "--quit-after", "CONNECT"},
              &out) == 0)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    why_ = "smtpd does not answer: " + Log();
    return false;
  }
  // Why Start failed.
  const std::string& why() const { return why_; }

  void Stop() {
    if (!started_) return;
    RunProgram({"/usr/sbin/postfix", "-c", config_, "stop"});
    started_ = false;
  }

  // postqueue -j: by queue id, its queue.
  std::string QueueJson() const {
    std::string out;
    RunProgram({"/usr/sbin/postqueue", "-c", config_, "-j"}, &out);
    return out;
  }
  std::string Log() const {
    std::ifstream in(base_ + "/maillog");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  const std::string& config() const { return config_; }
  int port() const { return port_; }

 private:
  static uid_t PostfixUid() {
    std::string out;
    RunProgram({"/usr/bin/id", "-u", "postfix"}, &out);
    return static_cast<uid_t>(std::atoi(out.c_str()));
  }

  std::string base_;
  std::string why_;
  std::string config_;
  int port_ = 0;
  bool started_ = false;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_GATEWAY_POSTFIX_FIXTURE_H_
