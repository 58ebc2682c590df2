// Start-up of the databases in two halves (folders and the card question,
// then the summary and rules tables and their next numbers).
#include "storage/init.h"

#include <atomic>
#include <string>

#include "device/codepage.h"
#include "storage/locations.h"
#include "storage/records.h"
#include "storage/rules_db.h"

namespace {
std::atomic<bool> g_initialised{false};
}  // namespace

storage::DatabaseChoice BeginDatabases() {
  PrepareFolders();
  std::string root = device::WideToAnsi(GetRootFolder());
  if (root.empty()) root = "\\Tarnvex";
  CreatePath((root + "\\" + "dba").c_str());
  if (g_initialised.load()) return storage::DatabaseChoice::kNone;
  // An existing summary database fixes the folder; only a first start
  // chooses one.
  std::string path, table;
  if (GetMessageDbPath(&path, &table)) return storage::DatabaseChoice::kNone;
  return CardChoiceNeeded() ? storage::DatabaseChoice::kUseCard
                            : storage::DatabaseChoice::kNone;
}

void FinishDatabases(storage::CardAnswer answer) {
  if (g_initialised.load()) return;
  records::CreateSummaryTable(answer);
  // Opens the summary database, which the day lists keep using.
  records::MaxSummaryId();
  CreateRulesTable();
  int max_rule = MaxRuleId();
  SetNextRuleId(max_rule < 1 ? 1 : max_rule + 1);
  g_initialised.store(true);
}

void InitDatabases(storage::CardAnswer answer) {
  BeginDatabases();
  FinishDatabases(answer);
}

void ResetInitDatabases() { g_initialised.store(false); }
