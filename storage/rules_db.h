// The rules database: the user's filter rules, one row each in the table
// "Rules" of "Rules_0.db" (where that file lies comes from GetRulesDbPath).
//
// Start-up seeding (InitDatabases calls these, in this order):
//   CreateRulesTable();
//   int max_id = MaxRuleId();
//   SetNextRuleId(max_id < 1 ? 1 : max_id + 1);
// NextRuleId() reads the number back; AddRule overwrites it right before
// every insert, so it always reflects the table at the moment of the insert.
//
// All operations share one connection that stays open once opened; a change
// statement failing with a code other than 1 closes it and the next operation
// reopens it. The connection, its flag and the next rule number are guarded
// by one lock, so the user interface and the workers may call in from any
// thread. Values are bound as parameters; the stored Sender, Recipients and
// Message are still blanked (each apostrophe a blank), so rows written by a
// statement with pasted texts are found by these operations and the reverse.
// Database errors go to stderr with their fixed texts.
#ifndef TARNVEX_STORAGE_RULES_DB_H_
#define TARNVEX_STORAGE_RULES_DB_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/status.h"

struct sqlite3_stmt;

// The next rule number (process-wide).
void SetNextRuleId(int32_t id);
int32_t NextRuleId();

// Runs the CREATE statement through ExecOnce on the rules path; an existing
// table makes it fail harmlessly.
void CreateRulesTable();

// Opens the rules connection unless it is open on the file the rules path
// names now (a file removed or replaced meanwhile is opened afresh, a missing
// rules table made). A file that is no usable database (not a database,
// malformed) is set aside under "<name>.damaged-<date>-<time>", never
// deleted, a new one made, and the handler told (below). Not ok (after
// "Can't open database: %s\n") when the open fails; the next operation tries
// again.
base::Status OpenRulesDb();

// Closes the rules connection and clears its flag; the next operation
// reopens it. Used after a failed statement, and by tests between images.
void CloseRulesDb();

namespace storage {

// A rules file that could not be used and was moved out of the way.
struct RulesFileSetAside {
  std::string path;          // where it was (host path)
  std::string set_aside_as;  // where it is now
};
// Who tells the user (the program shows a message box). Called from whatever
// thread opened the rules, with the rules lock held: it must return at once.
void SetRulesFileHandler(std::function<void(const RulesFileSetAside&)> handler);

// A value bound to one "?" of a rules statement, in order.
using RuleValue = std::variant<int32_t, std::string_view>;

}  // namespace storage

// Runs exactly one change statement on the rules connection, with `values`
// bound to its parameters. Invalid argument when SQLite refused the statement
// or its values, or the text holds more than one statement (refused without
// running any of it): nothing reported, the connection kept. I/O error when
// the connection cannot be opened. Any other failure: "SQL error: %s\n" on
// stderr and the connection closed (the next operation reopens it).
base::Status ExecRules(const char* sql,
                       const std::vector<storage::RuleValue>& values = {});

// The largest Id in the table (0 for an empty table), or -1 on failure.
int MaxRuleId();

// Looks a rule up by its identity: the stored (blanked) sender and recipients
// and the token text of its message. Only the first row counts.
bool FindRule(const char* sender, const char* recipients, const char* tokens,
              int* id);

// Rewrites every column of the row with `id`; the certainty is truncated
// toward zero. Ok when the statement ran (also when no row had the Id).
base::Status UpdateRule(int id, const char* sender, const char* recipients,
                        const char* message, const char* tokens,
                        float certainty);

// The rules editor's entry: blanks the three texts, takes the token text of
// the message as typed, and updates the row with the same identity or inserts
// a new one with Id MAX(Id) + 1. A new rule is refused (resource exhausted,
// nothing written) when the rule table in memory is full. Does not touch the
// rule table; the caller reloads it.
base::Status AddRule(const char* sender, const char* recipients,
                     const char* message, float certainty);

// Deletes the rows whose (blanked) three texts equal the given ones, blanked
// the same way, then reloads the rule table in memory from the database, so
// that the two agree whatever the statement did. Ok when the statement ran
// (also when nothing matched).
base::Status DeleteRule(const char* sender, const char* recipients,
                        const char* message);

namespace storage {

inline constexpr char kCreateRulesSql[] =
    "CREATE TABLE %s (Id INT UNIQUE, Sender TEXT, Recipients TEXT, "
    "Message TEXT, Tokens TEXT, Certainty INT);";
inline constexpr char kMaxRuleIdSql[] = "SELECT MAX(Id) as MaxOfId FROM %s;";
inline constexpr char kFindRuleSql[] =
    "SELECT Id FROM %s WHERE Sender = ? AND Recipients = ? AND Tokens = ?;";
inline constexpr char kUpdateRuleSql[] =
    "UPDATE %s SET Sender = ?, Recipients= ?, Message = ?, Tokens = ?, "
    "Certainty = ? WHERE Id = ?;";
inline constexpr char kInsertRuleSql[] =
    "INSERT INTO %s (Id, Sender, Recipients, Message, Tokens, Certainty) "
    "VALUES (?, ?, ?, ?, ?, ?);";
inline constexpr char kDeleteRuleSql[] =
    "DELETE FROM %s WHERE Sender = ? AND Recipients = ? AND Message = ?;";
// The list statement the rule table is loaded with; six columns in this
// order.
inline constexpr char kListRulesSql[] =
    "SELECT Id, Sender, Recipients, Message, Tokens, Certainty FROM %s;";

// Certainty as stored: truncated toward zero, NaN as 0, clamped to int32.
int32_t CertaintyToInt(float certainty);

// One row of the rules table as kListRulesSql reads it (NULL as 0 or "").
struct RuleRow {
  int32_t id = 0;
  std::string_view sender;  // valid only during the call that passes it
  std::string_view recipients;
  std::string_view message;
  std::string_view tokens;
  int32_t certainty = 0;
};
// A reading of the rules as ListRules does it.
using RulesLister = std::function<base::Status(
    const std::function<bool(const RuleRow&)>& row,
    const std::function<void(const base::Status&)>& done)>;

// The in-memory rule table lives in the filtering layer above this one. It
// plugs its capacity check and its reload in here, so that AddRule refuses a
// new rule when the table is full and DeleteRule leaves the table as the
// database has it. Until it is plugged in the table counts as empty (nothing
// could have filled it). Both are called with the rules lock held.
struct RuleTableHooks {
  bool (*full)() = nullptr;
  // Reloads the table with `list`, which reads under the rules lock that
  // the caller (DeleteRule) already holds: the reload must use it, not
  // ListRules, and may run only within the call.
  bool (*reload)(const RulesLister& list) = nullptr;
};
void SetRuleTableHooks(const RuleTableHooks& hooks);

// Runs a query on the rules connection and calls `row` for every result row
// while no other rules operation can run. Not ok when the connection cannot
// be opened (I/O error), or the query does not prepare or a step fails before
// the last row (then the connection is closed and forgotten). The whole read,
// `row` included, runs under the rules lock; `done` (when given) runs under it
// too after the last row, and after a failure, so a reader can publish what
// it read before anyone changes the table. `row` returns false to stop early.
// Storage's own (and its tests'); the layers above read with ListRules.
base::Status QueryRules(
    const std::string& sql, const std::function<bool(sqlite3_stmt*)>& row,
    const std::function<void(const base::Status&)>& done = {});

// QueryRules with kListRulesSql on the rules table: `row` for each row of six
// columns (others are passed over).
base::Status ListRules(
    const std::function<bool(const RuleRow&)>& row,
    const std::function<void(const base::Status&)>& done = {});

}  // namespace storage

#endif  // TARNVEX_STORAGE_RULES_DB_H_
