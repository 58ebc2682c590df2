// Shared by the fuzz targets that follow an input into the databases: the
// program's start-up of its databases in the fuzz image (rules table, summary
// and the three stores' message tables), an input cut into fields, and the
// rules table emptied between inputs so that each input judges against the
// rules it brings and nothing else.
#ifndef TARNVEX_FUZZ_FUZZ_DATABASES_H_
#define TARNVEX_FUZZ_FUZZ_DATABASES_H_

#include <string>
#include <string_view>
#include <vector>

#include "filter/rule_table.h"
#include "fuzz/fuzz_image.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "storage/statement.h"

namespace fuzzing {

inline constexpr const char* kStores[] = {"SMS", "MMS", "E-mail"};

// Starts the databases once per process, as the program does at start-up.
inline void FuzzDatabases() {
  static const bool ready = [] {
    FuzzImage();
    FindInstallFolder();
    InitDatabases();
    for (const char* store : kStores) records::PrepareStore(store);
    return true;
  }();
  (void)ready;
}

// The input cut at '\n' into `count` fields; the last takes the rest, and
// missing fields are empty.
inline std::vector<std::string> SplitFields(std::string_view input,
                                            size_t count) {
  std::vector<std::string> fields;
  while (fields.size() + 1 < count) {
    const size_t end = input.find('\n');
    if (end == std::string_view::npos) break;
    fields.emplace_back(input.substr(0, end));
    input.remove_prefix(end + 1);
  }
  fields.emplace_back(input);
  fields.resize(count);
  return fields;
}

// A text as it reaches the program through a C string: up to its first NUL.
inline std::string UpToNul(const std::string& text) {
  return text.substr(0, text.find('\0'));
}

// No rules in the database nor in memory.
inline void NoRules() {
  const std::string sql =
      storage::WithTableName("DELETE FROM %s;", storage::kRulesTableName);
  if (!ExecRules(sql.c_str()).ok()) std::abort();
  if (!LoadRules() || RuleCount() != 0) std::abort();
}

}  // namespace fuzzing

#endif  // TARNVEX_FUZZ_FUZZ_DATABASES_H_
