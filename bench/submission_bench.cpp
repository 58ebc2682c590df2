// SMTP submission into the device, measured as a mail client meets it:
// messages of 10 KiB over one authenticated session to `tarnvex-device run`
// (a process of its own), each "250" only after its synced commit. Reported:
// messages accepted per second, and the time from the end of DATA to the
// message lying held in Outbox\Tarnvex (this process runs the filter's
// monitoring, so the hold is the real outgoing check's) as median and 99th
// percentile.
//
// The baseline: a bare durable insert, one 10 KiB row a transaction into a
// WAL-mode SQLite file with full sync, in the same folder. A sync's cost
// swings widely on a shared machine, so the two take turns in rounds of
// kRound messages and each rate is over all its rounds; `ratio` is the
// submission's rate over the bare insert's. A round of the baseline starts
// once the messages before it are held, so that it does not slow their
// holds down.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/image.h"
#include "device/service/service.h"
#include "hold/monitor.h"
#include "storage/init.h"
#include "storage/locations.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMessages = 300;
constexpr int kRound = 30;
constexpr size_t kMessageBytes = 10 * 1024;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The message text: lines of 78 characters and CRLF, kMessageBytes in all.
std::string Text() {
  std::string text =
      "From: bench@example.org\r\nTo: nobody@example.net\r\n"
      "Subject: bench\r\n\r\n";
  while (text.size() + 80 <= kMessageBytes)
    text += std::string(78, 'x') + "\r\n";
  return text;
}

std::string Base64(const std::string& in) {
  static const char kTable[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<uint8_t>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<uint8_t>(in[i + 2]);
    out += kTable[(n >> 18) & 63];
    out += kTable[(n >> 12) & 63];
    out += i + 1 < in.size() ? kTable[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kTable[n & 63] : '=';
  }
  return out;
}

class Client {
 public:
  explicit Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Send(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      const ssize_t n = write(fd_, bytes.data() + at, bytes.size() - at);
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  }
  // The last line of the next reply.
  std::string Reply() {
    for (;;) {
      const size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        if (line.size() >= 4 && line[3] == '-') continue;
        return line;
      }
      char chunk[4096];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

// The baseline's file and statement.
class BareInsert {
 public:
  explicit BareInsert(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    sqlite3_exec(db_,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE "
                 "TABLE t (id INTEGER PRIMARY KEY, raw BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_, "INSERT INTO t (raw) VALUES (?);", -1, &insert_,
                       nullptr);
  }
  ~BareInsert() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }
  void Insert(const std::string& text) {
    sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
    sqlite3_bind_blob(insert_, 1, text.data(), static_cast<int>(text.size()),
                      SQLITE_STATIC);
    sqlite3_step(insert_);
    sqlite3_reset(insert_);
    sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr);
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
};

std::string BinDir() {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "build/bench/bin";
  exe[n] = '\0';
  return std::filesystem::path(exe).parent_path().parent_path() / "bin";
}

void Report(benchmark::State& state, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  state.counters["held_median_ms"] = ms[ms.size() / 2];
  state.counters["held_p99_ms"] = ms[ms.size() * 99 / 100];
}

void BM_SubmissionOneSession(benchmark::State& state) {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / "tarnvex-bench-XXXXXX")
          .string();
  const std::string root = mkdtemp(tmpl.data());
  const std::string tool = BinDir() + "/tarnvex-device";
  if (std::system(
          ("'" + tool + "' --root '" + root + "' init >/dev/null").c_str()) !=
      0) {
    state.SkipWithError("tarnvex-device init failed");
    return;
  }
  device::SetImageRoot(root);
  int out[2];
  if (pipe(out) != 0) return;
  const pid_t transport = fork();
  if (transport == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(tool.c_str(), tool.c_str(), "--root", root.c_str(), "run",
          "--send-delay-ms", "3600000", "--submission-port", "0", nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string said;
  int port = 0;
  char chunk[512];
  while (port == 0) {
    const ssize_t n = read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    said.append(chunk, static_cast<size_t>(n));
    const size_t at = said.find("127.0.0.1:");
    if (at != std::string::npos) port = std::atoi(said.c_str() + at + 10);
  }
  // The filter's watch, in this process.
  storage::ResetLocations();
  FindInstallFolder();
  InitDatabases();
  hold::Monitor monitor;
  monitor.Start();
  std::string password;
  {
    FILE* file =
        std::fopen((root + "/.device/mail/submission-password").c_str(), "r");
    char line[128] = {};
    if (file != nullptr && std::fgets(line, sizeof line, file) != nullptr)
      password = std::string(line, std::strcspn(line, "\r\n"));
    if (file != nullptr) std::fclose(file);
  }

  std::vector<double> held_ms;
  for (auto _ : state) {
    Client client(port);
    if (!client.ok() || client.Reply().rfind("220", 0) != 0) {
      state.SkipWithError("no submission server");
      break;
    }
    client.Send("EHLO bench\r\n");
    client.Reply();
    client.Send("AUTH PLAIN " +
                Base64(std::string("\0tarnvex\0", 9) + password) + "\r\n");
    if (client.Reply().rfind("235", 0) != 0) {
      state.SkipWithError("AUTH refused");
      break;
    }
    const std::string text = Text();
    std::map<int64_t, Clock::time_point> ended;  // message id -> end of DATA
    // Each message's hold, as a poller on a connection of its own sees it,
    // watching while the messages are sent.
    std::map<int64_t, Clock::time_point> held;
    std::atomic<bool> sending{true};
    std::atomic<size_t> accepted{0};
    std::atomic<int64_t> held_up_to{0};  // every id up to here is held
    std::thread poller([&] {
      sqlite3* db = nullptr;
      sqlite3_open_v2((root + "/.device/messages.db").c_str(), &db,
                      SQLITE_OPEN_READONLY, nullptr);
      sqlite3_busy_timeout(db, 1000);
      // A light poll (an indexed read every millisecond): the poller shares
      // the two cores with what it measures.
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db,
                         "SELECT id FROM messages WHERE folder IN (SELECT id "
                         "FROM folders WHERE name = 'Tarnvex') AND id > ? "
                         "ORDER BY id;",
                         -1, &stmt, nullptr);
      int64_t all_held_up_to = 0;  // every message id up to here is held
      const Clock::time_point give_up = Clock::now() + std::chrono::seconds(60);
      while ((sending.load() || held.size() < accepted.load()) &&
             Clock::now() < give_up) {
        // The image's only messages are this run's, numbered from 1; a
        // held one stays held (the run releases none).
        sqlite3_bind_int64(stmt, 1, all_held_up_to);
        const Clock::time_point now = Clock::now();
        while (sqlite3_step(stmt) == SQLITE_ROW)
          held.emplace(sqlite3_column_int64(stmt, 0), now);
        sqlite3_reset(stmt);
        while (held.count(all_held_up_to + 1) != 0) ++all_held_up_to;
        held_up_to.store(all_held_up_to);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      sqlite3_finalize(stmt);
      sqlite3_close(db);
    });
    BareInsert bare(root + "/bare.db");
    Clock::duration took{}, bare_took{};
    auto bare_round = [&] {
      const int64_t last = ended.empty() ? 0 : ended.rbegin()->first;
      const Clock::time_point give_up = Clock::now() + std::chrono::seconds(5);
      while (held_up_to.load() < last && Clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      const Clock::time_point bare_start = Clock::now();
      for (int j = 0; j < kRound; ++j) bare.Insert(text);
      bare_took += Clock::now() - bare_start;
    };
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kMessages; ++i) {
      if (i % kRound == 0 && i > 0) {
        took += Clock::now() - start;
        bare_round();
        start = Clock::now();
      }
      client.Send("MAIL FROM:<bench@example.org>\r\n");
      client.Send("RCPT TO:<nobody@example.net>\r\nDATA\r\n");
      client.Reply();
      client.Reply();
      client.Reply();
      client.Send(text + ".\r\n");
      const Clock::time_point end = Clock::now();
      const std::string reply = client.Reply();
      const size_t at = reply.rfind(' ');
      if (reply.rfind("250", 0) != 0 || at == std::string::npos) break;
      ended[std::atoll(reply.c_str() + at + 1)] = end;
      accepted.store(ended.size());
    }
    took += Clock::now() - start;
    bare_round();
    client.Send("QUIT\r\n");
    sending.store(false);
    poller.join();
    const double rate = static_cast<double>(ended.size()) /
                        std::chrono::duration<double>(took).count();
    const double bare_rate =
        kMessages / std::chrono::duration<double>(bare_took).count();
    state.counters["accepted_per_s"] = rate;
    state.counters["bare_insert_per_s"] = bare_rate;
    state.counters["ratio"] = rate / bare_rate;
    for (const auto& [id, end] : ended) {
      auto it = held.find(id);
      if (it != held.end()) held_ms.push_back(Ms(it->second - end));
    }
    state.counters["held"] = static_cast<double>(held.size());
  }
  Report(state, held_ms);
  monitor.Stop();
  kill(transport, SIGTERM);
  waitpid(transport, nullptr, 0);
  close(out[0]);
  device::CloseMessageService();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

BENCHMARK(BM_SubmissionOneSession)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
