// Recipient matching against a full table of 512 rules: no rule covers the
// candidate (every rule is examined), and only the last rule covers it. The
// candidate has three tokens. The baseline does the same work bare: the three
// tokens case-folded once, then each of the 512 recipients texts case-folded
// and searched with strstr for every token until one is missing.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "device/image.h"
#include "filter/rule_table.h"
#include "storage/locations.h"
#include "storage/rules_db.h"

namespace {

std::string RecipientsOf(int id) {
  char text[96];
  std::snprintf(text, sizeof(text), "+49 170 55%04d; Anna.%d@Example.org", id,
                id);
  return text;
}

// A device image in a temporary folder with 512 rules, loaded into the table.
class Setup {
 public:
  Setup() {
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "tarnvex-bench-XXXXXX")
            .string();
    root_ = mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
    device::SetImageRoot(root_);
    base::IgnoreFailure(device::InitImage(), "Making the image");
    const std::string dba = root_ + "/Program Files/Tarnvex/dba";
    std::filesystem::create_directories(dba);
    std::FILE* summary = std::fopen((dba + "/Tarnvex_0.db").c_str(), "w");
    if (summary != nullptr) std::fclose(summary);
    std::string path, table;
    GetMessageDbPath(&path, &table);
    CreateRulesTable();

    sqlite3* db = nullptr;
    sqlite3_open((dba + "/Rules_0.db").c_str(), &db);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Rules VALUES (?, 's', ?, 'm', 'm ', 90);",
                       -1, &insert, nullptr);
    for (int id = 1; id <= kMaxRules; ++id) {
      recipients_.push_back(RecipientsOf(id));
      sqlite3_bind_int(insert, 1, id);
      sqlite3_bind_text(insert, 2, recipients_.back().c_str(), -1,
                        SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    LoadRules();
  }
  ~Setup() {
    CloseRulesDb();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  const std::vector<std::string>& recipients() const { return recipients_; }

 private:
  std::string root_;
  std::vector<std::string> recipients_;
};

Setup& World() {
  static Setup setup;
  return setup;
}

void BM_MatchRecipientsNoMatch(benchmark::State& state) {
  World();
  RuleRecord candidate;
  candidate.Sender = "+49 170 559999";
  int32_t matched = 0, rule_id = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(MatchRecipients(candidate, &matched, &rule_id));
  }
  if (matched != 0 || RuleCount() != kMaxRules) state.SkipWithError("matched");
}
BENCHMARK(BM_MatchRecipientsNoMatch);

void BM_MatchRecipientsLastRule(benchmark::State& state) {
  World();
  RuleRecord candidate;
  candidate.Sender = "+49 170 550512";
  int32_t matched = 0, rule_id = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(MatchRecipients(candidate, &matched, &rule_id));
  }
  if (rule_id != kMaxRules) state.SkipWithError("not the last rule");
}
BENCHMARK(BM_MatchRecipientsLastRule);

// Baseline: the same three tokens, folded, against the same 512 texts.
void BM_BareFoldedTokensLoop(benchmark::State& state) {
  const std::vector<std::string>& texts = World().recipients();
  const std::string candidate = "+49 170 559999";
  int found = 0;
  for (auto _ : state) {
    char tokens[3][32];
    int count = 0;
    const char* p = candidate.c_str();
    while (*p != '\0' && count < 3) {
      while (*p == ' ') ++p;
      int n = 0;
      while (*p != '\0' && *p != ' ' && n < 31) {
        tokens[count][n++] =
            static_cast<char>(std::tolower(static_cast<unsigned char>(*p++)));
      }
      tokens[count][n] = '\0';
      if (n > 0) ++count;
    }
    found = 0;
    char hay[128];
    for (const std::string& t : texts) {
      size_t n = std::min(t.size(), sizeof hay - 1);
      for (size_t i = 0; i < n; ++i) {
        hay[i] =
            static_cast<char>(std::tolower(static_cast<unsigned char>(t[i])));
      }
      hay[n] = '\0';
      bool all = true;
      for (int k = 0; k < count && all; ++k)
        all = std::strstr(hay, tokens[k]) != nullptr;
      if (all) {
        ++found;
        break;
      }
    }
    benchmark::DoNotOptimize(found);
  }
  if (found != 0) state.SkipWithError("matched");
}
BENCHMARK(BM_BareFoldedTokensLoop);

}  // namespace

BENCHMARK_MAIN();
