// Start-up of the databases: the folders, the summary table, the rules table
// and the two next-number counters. Runs once per process; a second start
// only makes sure the folders exist.
//
// Storage asks the user nothing. The start-up runs in two halves:
// BeginDatabases says whether a choice is needed (the storage-card
// question), the caller asks it with no storage lock held, and
// FinishDatabases makes the databases with the answer.
#ifndef TARNVEX_STORAGE_INIT_H_
#define TARNVEX_STORAGE_INIT_H_

namespace storage {

// What the start-up needs to know before the databases are made.
enum class DatabaseChoice {
  kNone,     // nothing to decide
  kUseCard,  // a card is present, the program does not run from it and no
             // summary database exists yet: "Use CF Card?"
};

// The user's answer to the card question. kNotAsked (nobody could be asked)
// counts as No, as a question with nobody to answer it always did.
enum class CardAnswer { kNotAsked, kYes, kNo };

}  // namespace storage

// First half: prepares the folders and says what must be decided.
storage::DatabaseChoice BeginDatabases();
// Second half: makes the databases; `answer` is used only when
// BeginDatabases asked for the card choice.
void FinishDatabases(storage::CardAnswer answer);
// Both halves, for callers with nobody to ask (hosts, tools, tests): a card
// choice is answered with `answer`.
void InitDatabases(storage::CardAnswer answer = storage::CardAnswer::kNotAsked);

// Lets the next start-up run in full again (tests).
void ResetInitDatabases();

#endif  // TARNVEX_STORAGE_INIT_H_
