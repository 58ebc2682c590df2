#include "storage/init.h"

#include <atomic>
#include <string>

#include "device/codepage.h"
#include "storage/locations.h"
#include "storage/message_db.h"
#include "storage/rules_db.h"

namespace {
std::atomic<bool> g_initialised{false};
}  // namespace

void InitDatabases() {
  PrepareFolders();
  std::string root = device::WideToAnsi(GetRootFolder());
  if (root.empty()) root = "\\Tarnvex";
  CreatePath((root + "\\" + "dba").c_str());
  if (g_initialised.load()) return;

  CreateSummaryTable();
  int max_summary = MaxSummaryId();
  SetNextMessageId(max_summary < 1 ? 1 : max_summary + 1);
  CreateRulesTable();
  int max_rule = MaxRuleId();
  SetNextRuleId(max_rule < 1 ? 1 : max_rule + 1);
  g_initialised.store(true);
}

void ResetInitDatabases() { g_initialised.store(false); }
