// The process-wide rule table behind its reader/writer lock, its loading
// from the rules database and the match of recipients against it.
#include "filter/rule_table.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "base/debug.h"
#include "base/mutex.h"
#include "storage/locations.h"
#include "storage/rules_db.h"
#include "text/ascii.h"

namespace {

// The process-wide table behind its lock. A reload builds a whole new table
// outside the lock and swaps it in; the old one is freed after the swap, when
// no reader can still hold it. The lock is taken after the rules database's
// (a reload publishes while it holds that one) and never before it: nothing
// here loads or reads the database while holding the table.
struct Guarded {
  base::SharedMutex mutex;
  std::unique_ptr<RuleTable> table GUARDED_BY(mutex)
      PT_GUARDED_BY(mutex) = std::make_unique<RuleTable>();
  std::atomic<uint64_t> generation GUARDED_BY(mutex){1};
  // The last load could not read the rules (the table is empty for that).
  std::atomic<bool> load_failed{false};
};

Guarded& Table() {
  static Guarded* guarded = new Guarded;  // lives to the end of the process
  return *guarded;
}

// Whether two tables judge alike: the match reads the Recipients only.
bool SameJudgement(const RuleTable& a, const RuleTable& b) {
  if (a.Count != b.Count) return false;
  for (int32_t i = 0; i < a.Count; ++i) {
    if (a.Rules[i].Recipients != b.Rules[i].Recipients) return false;
  }
  return true;
}

std::unique_ptr<RuleTable> Publish(std::unique_ptr<RuleTable> fresh) {
  Guarded& g = Table();
  base::WriterMutexLock lock(&g.mutex);
  if (!SameJudgement(*g.table, *fresh)) g.generation.fetch_add(1);
  std::swap(g.table, fresh);
  return fresh;  // the old table, freed by the caller outside the lock
}

std::string_view OrEmpty(const char* text) {
  return text != nullptr ? std::string_view(text) : std::string_view();
}

// The candidate's tokens, folded to lower case: split at " ,;" with no empty
// tokens.
std::vector<std::string> FoldedTokens(std::string_view needles) {
  std::vector<std::string> tokens;
  size_t at = 0;
  while (at < needles.size()) {
    at = needles.find_first_not_of(" ,;", at);
    if (at == std::string_view::npos) break;
    size_t end = needles.find_first_of(" ,;", at);
    if (end == std::string_view::npos) end = needles.size();
    tokens.emplace_back(needles.substr(at, end - at));
    LowerAsciiInPlace(&tokens.back());
    at = end;
  }
  return tokens;
}

bool ContainsAll(const std::vector<std::string>& tokens,
                 std::string_view haystack) {
  std::string hay(haystack);
  LowerAsciiInPlace(&hay);
  for (const std::string& token : tokens)
    if (hay.find(token) == std::string_view::npos) return false;
  return true;
}

bool TableFull() { return RuleCount() >= kMaxRules; }

bool LoadRulesWith(const storage::RulesLister& list);

// The rules database reloads this table after a delete and asks whether it is
// full. Plugged in by every load, the first use of the table: before it the
// table is empty, which is what the database assumes of a table not plugged
// in (nothing to reload, never full).
void PlugIntoRulesDatabase() {
  storage::RuleTableHooks hooks;
  hooks.full = &TableFull;
  hooks.reload = &LoadRulesWith;
  storage::SetRuleTableHooks(hooks);
}

}  // namespace

bool LoadRules() { return LoadRulesWith(&storage::ListRules); }

namespace {

// LoadRules with the given reading of the rules (the rules database passes
// its own while it holds its lock).
bool LoadRulesWith(const storage::RulesLister& list) {
  PlugIntoRulesDatabase();
  try {
    auto fresh = std::make_unique<RuleTable>();
    std::unique_ptr<RuleTable> old;
    const base::Status result = list(
        [&fresh](const storage::RuleRow& row) {
          if (fresh->Count >= kMaxRules) return false;
          assert(fresh->Count >= 0 && fresh->Count < kMaxRules);
          RuleRecord& rule = fresh->Rules[fresh->Count];
          rule.Id = row.id;
          rule.Sender = row.sender;
          rule.Recipients = row.recipients;
          rule.Message = row.message;
          if (!ParseTokenText(row.tokens, &rule.Tokens))
            throw std::bad_alloc();  // no half-read rule is kept
          rule.Certainty = static_cast<float>(row.certainty);
          ++fresh->Count;
          return true;
        },
        [&fresh, &old](const base::Status& status) {
          // Published while the rules database is still held, so that two
          // reloads cannot publish out of order. A failed load leaves the
          // table empty, and the next match tries again.
          if (!status.ok()) fresh = std::make_unique<RuleTable>();
          old = Publish(std::move(fresh));
        });
    Table().load_failed.store(!result.ok());
    if (!result.ok()) {
      base::DebugOut("Failed to load the rules: %s\n",
                     result.ToString().c_str());
    }
    return result.ok();
  } catch (...) {
    // Out of memory part way: no half table is left behind.
    base::DebugOut("Rules not loaded: out of memory\n");
    Table().load_failed.store(true);
    try {
      Publish(std::make_unique<RuleTable>());
    } catch (...) {
      // Not even an empty table could be made: the old one stays, which
      // still holds messages its rules do not cover.
      base::DebugOut("Rule table not emptied: out of memory\n");
    }
    return false;
  }
}

}  // namespace

bool RulesLoadFailed() { return Table().load_failed.load(); }

int32_t RuleCount() {
  Guarded& g = Table();
  base::ReaderMutexLock lock(&g.mutex);
  return g.table->Count;
}

uint64_t RuleGeneration() {
  Guarded& g = Table();
  base::ReaderMutexLock lock(&g.mutex);
  return g.generation.load();
}

bool GetRule(int32_t index, std::string* sender, std::string* recipients,
             std::string* message, float* certainty, int32_t* id) {
  Guarded& g = Table();
  base::ReaderMutexLock lock(&g.mutex);
  if (index < 0 || index >= g.table->Count) return false;
  assert(g.table->Count <= kMaxRules);
  try {
    const RuleRecord& rule = g.table->Rules[index];
    if (sender != nullptr) *sender = rule.Sender;
    if (recipients != nullptr) *recipients = rule.Recipients;
    if (message != nullptr) *message = rule.Message;
    if (certainty != nullptr) *certainty = rule.Certainty;
    if (id != nullptr) *id = rule.Id;
    return true;
  } catch (...) {
    base::DebugOut("Rule %d not copied: out of memory\n",
                   static_cast<int>(index));
    return false;
  }
}

bool RemoveRule(const char* sender, const char* recipients,
                const char* message) {
  Guarded& g = Table();
  base::WriterMutexLock lock(&g.mutex);
  RuleTable& t = *g.table;
  assert(t.Count >= 0 && t.Count <= kMaxRules);
  const std::string_view want_sender = OrEmpty(sender);
  const std::string_view want_recipients = OrEmpty(recipients);
  const std::string_view want_message = OrEmpty(message);
  for (int32_t i = 0; i < t.Count; ++i) {
    RuleRecord& rule = t.Rules[i];
    if (!EqualIgnoringAsciiCase(rule.Sender, want_sender) ||
        !EqualIgnoringAsciiCase(rule.Recipients, want_recipients) ||
        !EqualIgnoringAsciiCase(rule.Message, want_message)) {
      continue;
    }
    std::move(&t.Rules[i + 1], &t.Rules[t.Count], &t.Rules[i]);
    t.Rules[t.Count - 1] = RuleRecord{};
    --t.Count;
    g.generation.fetch_add(1);
    return true;
  }
  return false;
}

bool TokensContained(const char* needles, const char* haystack) {
  try {
    return ContainsAll(FoldedTokens(needles != nullptr ? needles : ""),
                       haystack != nullptr ? haystack : "");
  } catch (...) {
    // Judged as not covered: the message is held, not sent.
    base::DebugOut("Tokens not compared: out of memory\n");
    return false;
  }
}

int32_t MatchRecipientText(std::string_view recipients, int32_t* matched,
                           int32_t* rule_id, bool load_when_empty) {
  try {
    if (load_when_empty && RuleCount() == 0) LoadRules();
    const std::vector<std::string> tokens = FoldedTokens(recipients);
    Guarded& g = Table();
    base::ReaderMutexLock lock(&g.mutex);
    const RuleTable& t = *g.table;
    assert(t.Count >= 0 && t.Count <= kMaxRules);
    if (t.Count == 0) return 0;
    if (rule_id != nullptr) *rule_id = -1;
    if (matched != nullptr) *matched = 0;
    for (int32_t i = 0; i < t.Count; ++i) {
      if (ContainsAll(tokens, t.Rules[i].Recipients)) {
        if (rule_id != nullptr) *rule_id = t.Rules[i].Id;
        if (matched != nullptr) *matched = 1;
        return 1;
      }
    }
    return 0;
  } catch (...) {
    // Not covered: the message is held, not sent.
    base::DebugOut("Recipients not matched: out of memory\n");
    return 0;
  }
}

int32_t MatchRecipients(RuleRecord candidate, int32_t* matched,
                        int32_t* rule_id) {
  return MatchRecipientText(candidate.Sender, matched, rule_id);
}

void ResetRuleTable() {
  Publish(std::make_unique<RuleTable>());
  Table().load_failed.store(false);
}
