// How fast an outgoing message that no rule covers is held inside one
// process: from the start of its save into the Outbox to its move into
// Outbox\Tarnvex (seen by a second sink on the store), with 512 rules loaded
// and monitoring running as in the program. Median and 99th percentile (ms)
// over 200 messages, beside the same sink's notification of the message's
// creation (what any listener waits anyway) and the transport's send delay
// (2000 ms), which the hold must beat. The figures across processes, with a
// compose window and large bodies, come from bench/hold_figures.py.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/image.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/rules_db.h"

namespace {

constexpr int kMessages = 200;
constexpr double kSendDelayMs = 2000;

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class MoveSink : public IMAPIAdviseSink {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  ULONG OnNotify(ULONG count, LPNOTIFICATION n) override {
    std::lock_guard<std::mutex> guard(lock);
    for (ULONG i = 0; i < count; ++i) {
      if (n[i].ulEventType == fnevObjectMoved) ++moves, when.push_back(NowMs());
      if (n[i].ulEventType == fnevObjectCreated &&
          n[i].info.obj.ulObjType == MAPI_MESSAGE) {
        created.push_back(NowMs());
      }
    }
    changed.notify_all();
    return 0;
  }
  std::mutex lock;
  std::condition_variable changed;
  size_t moves = 0;
  std::vector<double> when;
  std::vector<double> created;
};

void BM_HoldLatency(benchmark::State& state) {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / "tarnvex-bench-XXXXXX")
          .string();
  std::string root = mkdtemp(tmpl.data());
  device::SetImageRoot(root);
  base::IgnoreFailure(device::InitImage(), "Making the image");
  base::IgnoreFailure(device::CreateStore("SMS"), "Creating the store");
  FindInstallFolder();
  InitDatabases();
  for (int i = 0; i < kMaxRules; ++i) {
    // A rule that is not added shows as a smaller table, not a failure.
    base::IgnoreFailure(
        AddRule("", ("+49 170 55" + std::to_string(1000 + i)).c_str(), "", 90),
        "Adding a rule");
  }
  LoadRules();
  hold::Monitor monitor;
  monitor.Start();
  MoveSink sink;
  ULONG connection = 0;
  monitor.stores().table().records[0].store.load()->Advise(
      0, nullptr, fnevObjectCreated | fnevObjectMoved, &sink, &connection);

  std::vector<double> latencies, notified;
  for (auto _ : state) {
    for (int i = 0; i < kMessages; ++i) {
      device::ServiceMessage m;
      m.recipients = {u"5550199"};
      m.body = u"hello";
      size_t before, created_before;
      {
        std::lock_guard<std::mutex> guard(sink.lock);
        before = sink.moves;
        created_before = sink.created.size();
      }
      double start = NowMs();
      // A message not saved shows as a latency not measured.
      base::IgnoreFailure(device::SaveOutgoingMessage("SMS", m).status(),
                          "Saving a message");
      std::unique_lock<std::mutex> guard(sink.lock);
      if (sink.changed.wait_for(guard, std::chrono::seconds(5),
                                [&] { return sink.moves > before; })) {
        latencies.push_back(sink.when.back() - start);
      }
      if (sink.created.size() > created_before)
        notified.push_back(sink.created[created_before] - start);
    }
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["p99_ms"] = latencies[latencies.size() * 99 / 100];
    state.counters["send_delay_ms"] = kSendDelayMs;
  }
  std::sort(notified.begin(), notified.end());
  if (!notified.empty()) {
    state.counters["notified_median_ms"] = notified[notified.size() / 2];
    state.counters["notified_p99_ms"] = notified[notified.size() * 99 / 100];
  }
  monitor.Stop();
}

BENCHMARK(BM_HoldLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
