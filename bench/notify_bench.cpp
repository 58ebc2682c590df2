// Notification latency across processes, from the moment a child process
// starts saving a message into the Outbox to the moment this process's sink
// is called with its creation. Reported as median, 99th percentile and
// largest (µs) over 500 messages (the largest shows the stalls of the
// write-ahead log's checkpoints), beside the same design done bare: a child
// commits one row into a WAL-mode SQLite file, and this process, woken by
// inotify on the file's folder, reads the row on a connection of its own.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/image.h"
#include "device/service/service.h"
#include "mapi/mapi.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMessages = 500;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class TimingSink : public IMAPIAdviseSink {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  ULONG OnNotify(ULONG count, LPNOTIFICATION n) override {
    const int64_t now = NowUs();
    std::lock_guard<std::mutex> guard(lock);
    for (ULONG i = 0; i < count; ++i) {
      // A message's creation, by the message's row id (the entry
      // identifier's last eight bytes, least significant first).
      const OBJECT_NOTIFICATION& o = n[i].info.obj;
      if (n[i].ulEventType != fnevObjectCreated ||
          o.ulObjType != MAPI_MESSAGE || o.cbEntryID != 13) {
        continue;
      }
      const uint8_t* bytes = reinterpret_cast<const uint8_t*>(o.lpEntryID);
      int64_t id = 0;
      for (int b = 7; b >= 0; --b) id = (id << 8) | bytes[5 + b];
      arrivals[id] = now;
    }
    changed.notify_all();
    return 0;
  }
  std::mutex lock;
  std::condition_variable changed;
  std::map<int64_t, int64_t> arrivals;  // message id -> when it was notified
};

void Report(benchmark::State& state, std::vector<int64_t> latencies) {
  std::sort(latencies.begin(), latencies.end());
  if (latencies.empty()) return;
  state.counters["median_us"] =
      static_cast<double>(latencies[latencies.size() / 2]);
  state.counters["p99_us"] =
      static_cast<double>(latencies[latencies.size() * 99 / 100]);
  state.counters["max_us"] = static_cast<double>(latencies.back());
}

void BM_NotifyAcrossProcesses(benchmark::State& state) {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / "tarnvex-bench-XXXXXX")
          .string();
  std::string root = mkdtemp(tmpl.data());
  device::SetImageRoot(root);
  base::IgnoreFailure(device::InitImage(), "Making the image");
  // The writer is forked before this process opens the service, so that it
  // starts with a connection of its own.
  int go[2], times[2];
  if (pipe(go) != 0 || pipe(times) != 0) return;
  pid_t child = fork();
  if (child == 0) {
    close(go[1]);
    close(times[0]);
    char byte = 0;
    if (read(go[0], &byte, 1) != 1) _exit(1);
    for (int i = 0; i < kMessages; ++i) {
      device::ServiceMessage m;
      m.recipients = {u"5550199"};
      m.body = u"b";
      int64_t sent[2] = {0, NowUs()};
      const base::StatusOr<int64_t> saved =
          device::SaveOutgoingMessage("SMS", m);
      sent[0] = saved.ok() ? *saved : 0;
      if (write(times[1], sent, sizeof sent) != sizeof sent) _exit(1);
      usleep(2000);
    }
    _exit(0);
  }
  close(go[0]);
  close(times[1]);
  base::IgnoreFailure(device::CreateStore("SMS"), "Creating the store");
  IMAPISession* session = nullptr;
  MAPILogonEx(0, nullptr, nullptr, 0, &session);
  IMAPITable* table = nullptr;
  session->GetMsgStoresTable(MAPI_UNICODE, &table);
  LPSRowSet rows = nullptr;
  table->QueryRows(1, 0, &rows);
  IMsgStore* store = nullptr;
  for (ULONG i = 0; i < rows->aRow[0].cValues; ++i) {
    const SPropValue& v = rows->aRow[0].lpProps[i];
    if (v.ulPropTag == PR_ENTRYID) {
      session->OpenMsgStore(0, v.Value.bin.cb,
                            reinterpret_cast<LPENTRYID>(v.Value.bin.lpb),
                            nullptr, 0, &store);
    }
  }
  FreeProws(rows);
  table->Release();
  TimingSink sink;
  ULONG connection = 0;
  store->Advise(0, nullptr, fnevObjectCreated | fnevObjectMoved, &sink,
                &connection);

  std::vector<int64_t> latencies;
  for (auto _ : state) {
    char byte = 1;
    if (write(go[1], &byte, 1) != 1) break;
    std::map<int64_t, int64_t> starts;  // message id -> when its save began
    int64_t sent[2];
    while (read(times[0], sent, sizeof sent) == sizeof sent)
      starts[sent[0]] = sent[1];
    waitpid(child, nullptr, 0);
    std::unique_lock<std::mutex> guard(sink.lock);
    sink.changed.wait_for(guard, std::chrono::seconds(5), [&] {
      for (const auto& [id, start] : starts) {
        if (sink.arrivals.count(id) == 0) return false;
      }
      return true;
    });
    for (const auto& [id, start] : starts) {
      auto it = sink.arrivals.find(id);
      if (it != sink.arrivals.end()) latencies.push_back(it->second - start);
    }
    state.counters["notified"] = static_cast<double>(latencies.size());
  }
  close(go[1]);
  close(times[0]);
  Report(state, latencies);
  store->Unadvise(connection);
  store->Release();
  session->Release();
  device::CloseMessageService();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

void BM_BareNotifyAcrossProcesses(benchmark::State& state) {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / "tarnvex-bench-XXXXXX")
          .string();
  std::string root = mkdtemp(tmpl.data());
  const std::string path = root + "/bare.db";
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; CREATE TABLE t (seq INTEGER PRIMARY "
                 "KEY, at INT);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  int go[2];
  if (pipe(go) != 0) return;
  pid_t child = fork();
  if (child == 0) {
    close(go[1]);
    char byte = 0;
    if (read(go[0], &byte, 1) != 1) _exit(1);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t (at) VALUES (?);", -1, &insert,
                       nullptr);
    for (int i = 0; i < kMessages; ++i) {
      int64_t started = NowUs();
      sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
      sqlite3_bind_int64(insert, 1, started);
      sqlite3_step(insert);
      sqlite3_reset(insert);
      sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
      usleep(2000);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    _exit(0);
  }
  close(go[0]);
  int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(watch, root.c_str(),
                    IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* next = nullptr;
  sqlite3_prepare_v2(db, "SELECT seq, at FROM t WHERE seq > ? ORDER BY seq;",
                     -1, &next, nullptr);
  std::vector<int64_t> latencies;
  for (auto _ : state) {
    char byte = 1;
    if (write(go[1], &byte, 1) != 1) break;
    int64_t last = 0;
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (last < kMessages && Clock::now() < deadline) {
      pollfd fd = {watch, POLLIN, 0};
      poll(&fd, 1, 1000);
      char drain[4096];
      while (read(watch, drain, sizeof drain) > 0) {
      }
      sqlite3_bind_int64(next, 1, last);
      while (sqlite3_step(next) == SQLITE_ROW) {
        latencies.push_back(NowUs() - sqlite3_column_int64(next, 1));
        last = sqlite3_column_int64(next, 0);
      }
      sqlite3_reset(next);
    }
    waitpid(child, nullptr, 0);
  }
  close(go[1]);
  close(watch);
  sqlite3_finalize(next);
  sqlite3_close(db);
  Report(state, latencies);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

BENCHMARK(BM_NotifyAcrossProcesses)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareNotifyAcrossProcesses)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
