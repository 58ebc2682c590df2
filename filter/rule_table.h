// The rule table: the in-memory copy of the rules database, and the match of
// a message's recipients against it.
//
// A rule is an allow entry. A message whose recipients are all covered by the
// Recipients text of some rule goes out; one that no rule covers is held. The
// match reads the rule's Recipients only; Sender, Message, Tokens and
// Certainty ride along for the rules editor.
//
// The table is process-wide. Its records are plain values that own their
// texts and token lists, and go with them (reload or removal). The
// notification thread matches while the user interface reloads or removes
// rules, so the table is guarded by a reader/writer lock (rule_table.cpp; the
// compiler checks what it guards): a match always sees one whole table, the
// old one or the new one, never a half-built or freed record. Lock order:
// the rules-database lock before the table lock, never the reverse.
#ifndef TARNVEX_FILTER_RULE_TABLE_H_
#define TARNVEX_FILTER_RULE_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/field.h"
#include "text/tokens.h"

inline constexpr int32_t kMaxRules = 512;

// One rule. The same layout is the match candidate: its first field (the
// Sender slot) then holds the message's recipients text, and only that field
// is read.
//
// Sender and Recipients keep the whole texts of the database row, however
// long: a rule is matched as the user wrote it, and the texts handed to the
// rules editor find their row again when the user deletes the rule (a copy
// cut to a field's width would name no row, and the rule would live on).
struct RuleRecord {
  std::string Sender;
  std::string Recipients;
  std::string Message;
  TokenList Tokens;
  int32_t Id = 0;
  float Certainty = 0.0f;
};

// Slots 0 .. Count-1 hold rules in the order the database returned them, with
// no gaps; the slots after are empty records.
struct RuleTable {
  RuleRecord Rules[kMaxRules];
  int32_t Count = 0;
};

// Replaces the table with the rows of the rules table (the first 512). True
// when the query ran, also with no rows; false when the database cannot be
// opened, or the query does not prepare or fails part way (a part of the
// rules is never taken for all of them), and the table is then empty.
bool LoadRules();
// True while the last load failed: the table is empty because the rules could
// not be read, not because there are none.
bool RulesLoadFailed();

int32_t RuleCount();

// The generation of the judgement: it changes whenever the table's
// Recipients texts or their order change (a reload that brings other rules,
// a removal), and only then, so a message judged under one generation is
// judged the same way again while it lasts. A reload of the same rules keeps
// it.
uint64_t RuleGeneration();

// Copies of slot `index`'s texts, its Certainty and Id. False, with the
// outputs untouched, when the index is outside 0 .. count-1 (the table may
// have changed since the caller counted).
bool GetRule(int32_t index, std::string* sender, std::string* recipients,
             std::string* message, float* certainty, int32_t* id);

// Removes the first rule whose three texts equal the arguments, ignoring ASCII
// letter case; the following rules move up in order. True when one was
// removed.
bool RemoveRule(const char* sender, const char* recipients,
                const char* message);

// True when every token of `needles` (split at space, comma and semicolon) is
// a substring of `haystack`, ignoring ASCII letter case. No tokens: true. Both
// texts are read whole: a cut candidate could pass on a partial or missing
// address, and a rule is matched as it is stored.
bool TokensContained(const char* needles, const char* haystack);

// Matches the candidate's first text field against every rule's Recipients in
// table order; the first rule that covers it wins. Loads the table first when
// it is empty. 1 on a match (*matched 1, *rule_id the rule's Id); 0 when no
// rule covers it (*matched 0, *rule_id -1); 0 with both untouched when there
// are no rules at all.
int32_t MatchRecipients(RuleRecord candidate, int32_t* matched,
                        int32_t* rule_id);

// The same match for a recipients text of any length. Callers whose text may
// be longer than a field should use this one: a text cut to fit a field
// would be judged without its last addresses. Without `load_when_empty` an
// empty table is not loaded here (the caller may not wait on the rules
// database) and nothing is covered.
int32_t MatchRecipientText(std::string_view recipients, int32_t* matched,
                           int32_t* rule_id, bool load_when_empty = true);

// Empties the table (tests start each case afresh).
void ResetRuleTable();

#endif  // TARNVEX_FILTER_RULE_TABLE_H_
