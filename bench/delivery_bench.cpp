// Delivery through a relay, measured against a loopback relay that accepts
// everything (a minimal SMTP server in this process, a thread a
// connection, so that the relay is not what is measured):
//
//  - DeliveryVsBareLibcurl: 10 KiB messages, one recipient each, over one
//    kept connection: the device's Deliverer (libcurl with the debug
//    callback that reads each recipient's reply) beside a bare libcurl
//    loop with the same connection reuse, in rounds taken in turn so that
//    both see the same machine, every thread on one processor. Counters:
//    messages per second of each and the median of the rounds' ratios.
//  - TransportDelivery: the whole road in this process, 300 messages kept
//    in the E-mail store's Outbox handed over by the relay's worker as
//    `tarnvex-device run` does (the gate, the synced claim, the SMTP
//    transaction, the synced outcome and the move into Sent Items), beside
//    the bare loop sending as many and as many bare synced commits of a
//    small row (the disk's floor: each message waits for one).
//  - DueToRelay: the relay's worker running as `tarnvex-device run` runs
//    it, asleep between passes on the service's changes; one message at a
//    time saved into the Outbox with no send delay and no filter, timed
//    from the save's synced commit (the change that opens its gate, as a
//    filter's mark of its judgement does) to the relay's acceptance.
//    Counters: the median and the largest, in ms (goal: under 50 ms).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/image.h"
#include "device/service/service.h"
#include "mail/queue/deliveries.h"
#include "mail/relay/delivery.h"
#include "mail/relay/relay_settings.h"
#include "mail/relay/relay_worker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMessageBytes = 10 * 1024;
constexpr char kFrom[] = "bench@example.org";
constexpr char kTo[] = "nobody@example.net";

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// The message: lines of 78 characters and CRLF, kMessageBytes in all.
std::string Message() {
  std::string text =
      "From: bench@example.org\r\nTo: nobody@example.net\r\n"
      "Subject: bench\r\n\r\n";
  while (text.size() + 80 <= kMessageBytes)
    text += std::string(78, 'x') + "\r\n";
  return text;
}

// An SMTP server on 127.0.0.1 that accepts every message.
class AcceptAllRelay {
 public:
  AcceptAllRelay() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
      return;
    }
    port_ = ntohs(at.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~AcceptAllRelay() {
    stop_.store(true);
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    if (acceptor_.joinable()) acceptor_.join();
    std::lock_guard<std::mutex> guard(lock_);
    for (int fd : connections_) shutdown(fd, SHUT_RDWR);
    for (std::thread& t : sessions_) t.join();
  }
  int port() const { return port_; }
  long accepted() const { return accepted_.load(); }

 private:
  void Accept() {
    while (!stop_.load()) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::lock_guard<std::mutex> guard(lock_);
      connections_.push_back(fd);
      sessions_.emplace_back([this, fd] { Serve(fd); });
    }
  }
  static bool Send(int fd, std::string_view text) {
    while (!text.empty()) {
      const ssize_t n = write(fd, text.data(), text.size());
      if (n <= 0) return false;
      text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  void Serve(int fd) {
    std::string buffer;
    bool in_data = false;
    size_t scanned = 0;
    char chunk[65536];
    Send(fd, "220 bench ESMTP\r\n");
    for (;;) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
      for (;;) {
        if (in_data) {
          const size_t end = buffer.find("\r\n.\r\n", scanned);
          if (end == std::string::npos) {
            scanned = buffer.size() < 4 ? 0 : buffer.size() - 4;
            break;
          }
          buffer.erase(0, end + 5);
          scanned = 0;
          in_data = false;
          accepted_.fetch_add(1);
          Send(fd, "250 2.0.0 Ok\r\n");
          continue;
        }
        const size_t nl = buffer.find("\r\n");
        if (nl == std::string::npos) break;
        const std::string line = buffer.substr(0, nl);
        buffer.erase(0, nl + 2);
        auto is = [&](const char* verb) {
          return strncasecmp(line.c_str(), verb, std::strlen(verb)) == 0;
        };
        if (is("EHLO")) {
          Send(fd, "250-bench\r\n250-SIZE 100000000\r\n250 8BITMIME\r\n");
        } else if (is("DATA")) {
          in_data = true;
          // The data may begin with the end mark's own line.
          buffer.insert(0, "\r\n");
          Send(fd, "354 go ahead\r\n");
        } else if (is("QUIT")) {
          Send(fd, "221 bye\r\n");
          close(fd);
          return;
        } else {
          Send(fd, "250 Ok\r\n");  // HELO, MAIL, RCPT, RSET, NOOP
        }
      }
    }
    close(fd);
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long> accepted_{0};
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<int> connections_;
  std::vector<std::thread> sessions_;
};

// The bare libcurl loop: one handle kept, MAIL_FROM, one MAIL_RCPT, the
// message through a read callback; nothing else.
class BareLoop {
 public:
  BareLoop(int port, const std::string& message) : message_(message) {
    handle_ = curl_easy_init();
    const std::string url = "smtp://127.0.0.1:" + std::to_string(port);
    curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle_, CURLOPT_MAIL_FROM, "<bench@example.org>");
    rcpt_ = curl_slist_append(nullptr, "<nobody@example.net>");
    curl_easy_setopt(handle_, CURLOPT_MAIL_RCPT, rcpt_);
    curl_easy_setopt(handle_, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle_, CURLOPT_READFUNCTION, &BareLoop::Read);
    curl_easy_setopt(handle_, CURLOPT_READDATA, this);
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle_, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(message_.size()));
  }
  ~BareLoop() {
    curl_easy_cleanup(handle_);
    curl_slist_free_all(rcpt_);
  }
  bool Send() {
    offset_ = 0;
    return curl_easy_perform(handle_) == CURLE_OK;
  }

 private:
  static size_t Read(char* buffer, size_t size, size_t count, void* data) {
    BareLoop* self = static_cast<BareLoop*>(data);
    const size_t n =
        std::min(size * count, self->message_.size() - self->offset_);
    std::memcpy(buffer, self->message_.data() + self->offset_, n);
    self->offset_ += n;
    return n;
  }
  CURL* handle_;
  curl_slist* rcpt_;
  const std::string& message_;
  size_t offset_ = 0;
};

// `count` bare synced commits of one small row each into a WAL-mode SQLite
// file (synchronous=FULL), the floor under a delivery that keeps its
// outcome on the disk before the next transaction.
Clock::duration SyncedCommits(const std::string& path, int count) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return {};
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE "
               "t (message INTEGER, state TEXT);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, 'delivered');", -1, &insert,
                     nullptr);
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
    sqlite3_bind_int(insert, 1, i);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  }
  const Clock::duration took = Clock::now() - start;
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return took;
}

mail::RelaySettings LoopbackRelay(int port) {
  mail::RelaySettings s;
  s.on = true;
  s.url = "smtp://127.0.0.1:" + std::to_string(port);
  s.tls = mail::RelayTls::kNone;
  return s;
}

// A fresh image in the temporary folder with the E-mail store and the relay
// at `relay_port` (*root its folder, removed by DropBenchImage), and the
// fields and kept form of the message every round saves.
base::Status MakeBenchImage(int relay_port, std::string* root,
                            device::ServiceMessage* fields,
                            device::KeptMail* kept) {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / "tarnvex-bench-XXXXXX")
          .string();
  if (mkdtemp(tmpl.data()) == nullptr)
    return base::Status::IoError("no temporary folder");
  *root = tmpl;
  device::SetImageRoot(*root);
  base::Status made = device::InitImage();
  if (made.ok()) made = device::CreateStore("E-mail");
  if (made.ok()) made = mail::WriteRelaySettings(LoopbackRelay(relay_port));
  fields->subject = u"bench";
  fields->sender_address = u"bench@example.org";
  fields->recipients = {u"nobody@example.net"};
  kept->envelope_from = kFrom;
  kept->raw = Message();
  return made;
}

void DropBenchImage(const std::string& root) {
  device::CloseMessageService();
  device::SetImageRoot("");
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

// Keeps this thread, and the threads it starts, on the processor it runs
// on: where the relay's threads land beside a client's otherwise decides a
// round's speed more than the client does. Undone when it goes.
class OneProcessor {
 public:
  OneProcessor() {
    kept_ = sched_getaffinity(0, sizeof old_, &old_) == 0;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (kept_) sched_setaffinity(0, sizeof one, &one);
  }
  ~OneProcessor() {
    if (kept_) sched_setaffinity(0, sizeof old_, &old_);
  }

 private:
  cpu_set_t old_;
  bool kept_ = false;
};

void BM_DeliveryVsBareLibcurl(benchmark::State& state) {
  mail::InitDeliveryLibrary();
  OneProcessor pinned;
  AcceptAllRelay relay;
  const std::string message = Message();
  BareLoop bare(relay.port(), message);
  mail::Deliverer device(LoopbackRelay(relay.port()));
  // Short rounds in turn; the machine's load comes and goes, so the ratio
  // reported is the median of the rounds' ratios.
  constexpr int kRound = 50;
  Clock::duration bare_time{}, device_time{};
  long bare_sent = 0, device_sent = 0;
  std::vector<double> ratios;
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < kRound; ++i) bare_sent += bare.Send() ? 1 : 0;
    const Clock::duration bare_round = Clock::now() - start;
    start = Clock::now();
    for (int i = 0; i < kRound; ++i) {
      const auto out = device.Deliver(kFrom, {kTo}, message);
      device_sent += out[0].verdict == mail::DeliveryVerdict::kDelivered;
    }
    const Clock::duration device_round = Clock::now() - start;
    bare_time += bare_round;
    device_time += device_round;
    ratios.push_back(Seconds(bare_round) / Seconds(device_round));
  }
  if (bare_sent != device_sent || bare_sent == 0) {
    state.SkipWithError("not every message was accepted");
    return;
  }
  std::sort(ratios.begin(), ratios.end());
  state.counters["bare_msgs_per_s"] = bare_sent / Seconds(bare_time);
  state.counters["device_msgs_per_s"] = device_sent / Seconds(device_time);
  state.counters["device_over_bare"] = ratios[ratios.size() / 2];
}
BENCHMARK(BM_DeliveryVsBareLibcurl)
    ->Iterations(60)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_TransportDelivery(benchmark::State& state) {
  mail::InitDeliveryLibrary();
  constexpr int kMessages = 300;
  OneProcessor pinned;
  AcceptAllRelay relay;
  const std::string message = Message();
  Clock::duration transport_total{}, bare_total{}, commits_total{};
  for (auto _ : state) {
    state.PauseTiming();
    std::string root;
    device::ServiceMessage fields;
    device::KeptMail kept;
    const base::Status made =
        MakeBenchImage(relay.port(), &root, &fields, &kept);
    if (!made.ok()) {
      state.SkipWithError(made.message().c_str());
      return;
    }
    for (int i = 0; i < kMessages; ++i) {
      const base::StatusOr<int64_t> saved =
          device::SaveOutgoingMail("E-mail", fields, kept);
      if (!saved.ok()) {
        state.SkipWithError(saved.status().ToString().c_str());
        return;
      }
    }
    const long before = relay.accepted();
    mail::RelaySettingsWatch watch;
    std::atomic<bool> stop{false};
    mail::RelayWorkerOptions options;
    options.send_delay_ms = 0;
    mail::RelayWorker worker(&watch, options, &stop);
    state.ResumeTiming();

    const auto start = Clock::now();
    int handed = 0;
    for (int pass = 0; handed < kMessages && pass < 1000; ++pass) {
      const int n = worker.Pass();
      if (n > 0) handed += n;
    }
    const Clock::duration transport_time = Clock::now() - start;

    state.PauseTiming();
    const long delivered = relay.accepted() - before;
    const size_t sent_items =
        device::ListMessages("E-mail", "Sent Items").size();
    BareLoop bare(relay.port(), message);
    const auto bare_start = Clock::now();
    for (int i = 0; i < kMessages; ++i) bare.Send();
    const Clock::duration bare_time = Clock::now() - bare_start;
    const Clock::duration commits_time =
        SyncedCommits(root + "/commits.db", kMessages);
    DropBenchImage(root);
    if (delivered != kMessages || sent_items != kMessages) {
      state.SkipWithError("not every message was delivered");
      return;
    }
    transport_total += transport_time;
    bare_total += bare_time;
    commits_total += commits_time;
    state.ResumeTiming();
  }
  const double count = static_cast<double>(kMessages) * state.iterations();
  const double rate = count / Seconds(transport_total);
  const double bare_rate = count / Seconds(bare_total);
  state.counters["transport_msgs_per_s"] = rate;
  state.counters["bare_msgs_per_s"] = bare_rate;
  state.counters["transport_over_bare"] = rate / bare_rate;
  state.counters["synced_commits_per_s"] = count / Seconds(commits_total);
}
BENCHMARK(BM_TransportDelivery)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_DueToRelay(benchmark::State& state) {
  mail::InitDeliveryLibrary();
  AcceptAllRelay relay;
  std::string root;
  device::ServiceMessage fields;
  device::KeptMail kept;
  const base::Status made = MakeBenchImage(relay.port(), &root, &fields, &kept);
  if (!made.ok()) {
    state.SkipWithError(made.message().c_str());
    return;
  }
  mail::RelaySettingsWatch watch;
  std::atomic<bool> stop{false};
  mail::RelayWorkerOptions options;
  options.send_delay_ms = 0;
  mail::RelayWorker worker(&watch, options, &stop);
  std::thread run([&worker] { worker.Run(); });
  std::vector<double> ms;
  bool lost = false;
  for (auto _ : state) {
    const long before = relay.accepted();
    const base::StatusOr<int64_t> saved =
        device::SaveOutgoingMail("E-mail", fields, kept);
    const auto start = Clock::now();
    if (!saved.ok()) {
      lost = true;
      break;
    }
    while (relay.accepted() == before &&
           Clock::now() - start < std::chrono::seconds(5)) {
      usleep(100);
    }
    lost |= relay.accepted() == before;
    ms.push_back(Seconds(Clock::now() - start) * 1000);
    // The worker is idle again before the next one.
    usleep(20000);
  }
  stop.store(true);
  run.join();
  DropBenchImage(root);
  if (lost || ms.empty()) {
    state.SkipWithError("a message was not delivered");
    return;
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["max_ms"] = ms.back();
}
BENCHMARK(BM_DueToRelay)
    ->Iterations(50)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
