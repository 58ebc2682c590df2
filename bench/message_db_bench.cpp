// Recording new messages (MAPIExists + MAPIAdd, one store connection per
// operation as the program works) beside a bare prepared SQLite insert of
// the same row on an open connection, both into a store file on a temporary
// device image.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "device/image.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/message_db.h"

namespace {

class Image {
 public:
  Image() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarnvex-bench-XXXXXX").string();
    root_ = mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
    device::SetImageRoot(root_);
    std::string error;
    device::InitImage(&error);
    FindInstallFolder();
    InitDatabases();
    PrepareStoreDb("SMS");
  }
  ~Image() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

Image& TheImage() {
  static Image image;
  return image;
}

void BM_RecordNewMessage(benchmark::State& state) {
  TheImage();
  std::string date = "Monday, December 7, 2026";
  int64_t n = 0;
  for (auto _ : state) {
    std::string subject = "Subject " + std::to_string(n++);
    bool found = false;
    MAPIExists("SMS", "the body of the message", "Anna", "5550199", subject.c_str(), &found,
               nullptr, nullptr, nullptr);
    int32_t id = 0;
    MAPIAdd("SMS", "Anna", "5550199", subject.c_str(), "the body of the message",
            "the body of the message", "bodi messag the ", 0, date.c_str(), "10:00:00", &id);
    benchmark::DoNotOptimize(id);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_BarePreparedInsert(benchmark::State& state) {
  std::string path = TheImage().root() + "/bare.db";
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db,
               "CREATE TABLE IF NOT EXISTS Msg (Id INT UNIQUE, Sender TEXT, Recipients TEXT, "
               "Subject TEXT, OrgMessage TEXT, Message TEXT, Tokens TEXT, ReceivedDate TEXT, "
               "ReceivedTime TEXT, Status INT, Hash TEXT);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO Msg VALUES (?, 'Anna', '5550199', ?, 'b', 'b', 't', 'd', 't', 0, 'h');",
                     -1, &insert, nullptr);
  int64_t n = 0;
  for (auto _ : state) {
    std::string subject = "Subject " + std::to_string(n);
    sqlite3_bind_int64(insert, 1, ++n);
    sqlite3_bind_text(insert, 2, subject.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RecordNewMessage)->Iterations(300);
BENCHMARK(BM_BarePreparedInsert)->Iterations(300);

}  // namespace

BENCHMARK_MAIN();
