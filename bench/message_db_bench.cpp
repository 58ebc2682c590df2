// Recording new messages as the program does (records::FindMessage, then
// records::Add, which looks the digest up again and reads MAX(Id)) into store
// files that already hold 0, 10 000 and 100 000 records, beside a bare prepared
// insert of the same row into the same table on an open connection; and the day
// list of the browser's refill (ReadStoreDay) from those files, beside the bare
// day query. All on a temporary device image.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "device/codepage.h"
#include "device/image.h"
#include "storage/calendar.h"
#include "storage/day_lists.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/records.h"
#include "text/md4.h"

namespace {

constexpr int kTodayRecords = 40;

class Image {
 public:
  Image() {
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "tarnvex-bench-XXXXXX")
            .string();
    root_ = mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
    device::SetImageRoot(root_);
    base::IgnoreFailure(device::InitImage(), "Making the image");
    FindInstallFolder();
    InitDatabases();
    DayText(0, &today_);
  }
  ~Image() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  const std::string& today() const { return today_; }

  // A store named after its size, filled once with `records` records over a
  // year of days (kTodayRecords of them today), each with its own digest.
  std::string Store(int64_t records) {
    std::string name = "Store" + std::to_string(records);
    if (records::PrepareStore(name.c_str()) >= records) return name;
    std::string host = HostOf(name);
    sqlite3* db = nullptr;
    sqlite3_open(host.c_str(), &db);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(
        db,
        "INSERT INTO Msg VALUES (?, 'Anna <anna@example.org>', '5550199', ?, "
        "'an older body', 'an older body', 'bodi older ', ?, '10:00:00', 0, "
        "?);",
        -1, &insert, nullptr);
    for (int64_t i = 1; i <= records; ++i) {
      std::string subject = "Older " + std::to_string(i);
      std::string day =
          i <= kTodayRecords ? today_ : "Day " + std::to_string(i % 365);
      sqlite3_bind_int64(insert, 1, i);
      sqlite3_bind_text(insert, 2, subject.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 3, day.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 4, HashTextOf(subject).c_str(), -1,
                        SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return name;
  }
  std::string HostOf(const std::string& store) {
    std::string host;
    device::HostPath(device::AnsiToWide(StoreDbPath(store.c_str())), &host);
    return host;
  }

 private:
  std::string root_;
  std::string today_;
};

Image& TheImage() {
  static Image image;
  return image;
}

void BM_RecordNewMessage(benchmark::State& state) {
  const std::string store = TheImage().Store(state.range(0));
  const std::string& date = TheImage().today();
  int64_t n = 0;
  for (auto _ : state) {
    std::string subject = "Subject " + std::to_string(n++);
    bool found = false;
    records::FindMessage(store.c_str(), "the body of the message", "Anna",
                         "5550199", subject.c_str(), &found, nullptr, nullptr,
                         nullptr);
    int32_t id = 0;
    // Measured either way; a failure shows in the debug output.
    base::IgnoreFailure(
        records::Add(store.c_str(), "Anna", "5550199", subject.c_str(),
                     "the body of the message", "the body of the message",
                     "bodi messag the ", 0, date.c_str(), "10:00:00", &id),
        "Recording");
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
}

// The baseline: the same row inserted bare into the same kind of table, of
// the same size, with its indexes, on a connection kept open.
void BM_BareInsertSameTable(benchmark::State& state) {
  const std::string store = TheImage().Store(state.range(0));
  sqlite3* db = nullptr;
  sqlite3_open(TheImage().HostOf(store).c_str(), &db);
  sqlite3_stmt* max = nullptr;
  sqlite3_prepare_v2(db, "SELECT MAX(Id) FROM Msg;", -1, &max, nullptr);
  sqlite3_step(max);
  int64_t n = sqlite3_column_int64(max, 0) + 1000000;
  sqlite3_finalize(max);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(
      db,
      "INSERT INTO Msg VALUES (?, 'Anna', '5550199', ?, 'b', 'b', 't', 'd', "
      "'t', 0, ?);",
      -1, &insert, nullptr);
  for (auto _ : state) {
    std::string subject = "Bare " + std::to_string(n);
    sqlite3_bind_int64(insert, 1, ++n);
    sqlite3_bind_text(insert, 2, subject.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, subject.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}

// The browser's day list of a store (its refill reads one per store).
void BM_DayListRefill(benchmark::State& state) {
  const std::string store = TheImage().Store(state.range(0));
  for (auto _ : state) {
    std::vector<DayRecord> records;
    base::IgnoreFailure(
        ReadStoreDay(store.c_str(), 0, true, true, &records, nullptr),
        "Reading a day");  // measured either way
    benchmark::DoNotOptimize(records.size());
  }
}

void BM_BareDayQuery(benchmark::State& state) {
  const std::string store = TheImage().Store(state.range(0));
  sqlite3* db = nullptr;
  sqlite3_open(TheImage().HostOf(store).c_str(), &db);
  sqlite3_stmt* day = nullptr;
  sqlite3_prepare_v2(
      db,
      "SELECT Id, Sender, Recipients, Subject, Message, ReceivedDate, "
      "ReceivedTime, Status FROM Msg WHERE ReceivedDate = ?;",
      -1, &day, nullptr);
  for (auto _ : state) {
    sqlite3_bind_text(day, 1, TheImage().today().c_str(), -1, SQLITE_TRANSIENT);
    int rows = 0;
    while (sqlite3_step(day) == SQLITE_ROW) ++rows;
    sqlite3_reset(day);
    benchmark::DoNotOptimize(rows);
  }
  sqlite3_finalize(day);
  sqlite3_close(db);
}

BENCHMARK(BM_RecordNewMessage)
    ->Arg(0)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareInsertSameTable)
    ->Arg(0)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DayListRefill)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareDayQuery)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
