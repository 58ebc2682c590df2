// The records of judged messages: one database per message store
// ("<store>.db", table "Msg") holding every message the filter judged, and
// the summary database "Tarnvex_0.db" (table "Tarnvex"). The day lists
// (storage/day_lists.h) read them back one day at a time.
//
// Values are bound as parameters; stored texts are blanked (each apostrophe a
// blank) as they always were. Database errors go to stderr with their fixed
// texts.
#ifndef TARNVEX_STORAGE_RECORDS_H_
#define TARNVEX_STORAGE_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "storage/init.h"

namespace records {

inline constexpr size_t kSubjectCopySize = 512;  // Add's blanked subject

inline constexpr char kCreateStoreTableSql[] =
    "CREATE TABLE Msg (Id INT UNIQUE, Sender TEXT, Recipients TEXT, Subject "
    "TEXT, OrgMessage TEXT, Message TEXT, Tokens TEXT, ReceivedDate TEXT, "
    "ReceivedTime TEXT, Status INT, Hash TEXT);";
inline constexpr char kCreateSummaryTableSql[] =
    "CREATE TABLE %s (Id INT UNIQUE, Sender TEXT, Recipients TEXT, Message "
    "TEXT, Tokens TEXT, ReceivedDate TEXT, ReceivedTime TEXT, Status INT);";
// The lookups by digest and by day, run beside the CREATE statements (on
// their own, so that files made before gain them too). Nothing else reads
// them: peers that know only the tables are not affected.
inline constexpr char kCreateStoreIndexesSql[] =
    "CREATE INDEX IF NOT EXISTS MsgHash ON Msg (Hash);"
    "CREATE INDEX IF NOT EXISTS MsgReceivedDate ON Msg (ReceivedDate);"
    "CREATE INDEX IF NOT EXISTS MsgIdStatusHash ON Msg (Id, Status, Hash);";
inline constexpr char kCreateSummaryIndexSql[] =
    "CREATE INDEX IF NOT EXISTS %sReceivedDate ON %s (ReceivedDate);";

// Start-up: the summary table and the next message number (storage/init.h
// runs it with the rules table).
// `answer`: the card question's, when one was needed (storage/init.h).
void CreateSummaryTable(
    storage::CardAnswer answer = storage::CardAnswer::kNotAsked);
int MaxSummaryId();

void CreateStoreTable(const char* path);
// Makes sure the store's database and table exist; its largest Id.
int PrepareStore(const char* store_name);
// PrepareStore that says whether the store's database now has its Msg
// table (not ok, with why, when it could not be made: a full disk, a file
// that cannot be written); made again by the next call.
base::Status EnsureStore(const char* store_name);
int MaxStoreId(const char* store_name);

// Looks a message up by the digest of "body sender recipients subject".
// False (not found) also when the store file cannot be read.
bool FindMessage(const char* store_name, const char* body, const char* sender,
                 const char* recipients, const char* subject, bool* found,
                 int32_t* id, int32_t* status, std::string* tokens);
// The digest text FindMessage looks a message up by, and the same lookup by
// a digest already made (silent on failure).
std::string DigestOf(const char* body, const char* sender,
                     const char* recipients, const char* subject);
bool FindByDigest(const char* store_name, const std::string& digest,
                  bool* found, int32_t* id, int32_t* status);
// The status and digest of record `id`; false when there is none or the
// store cannot be read.
bool StatusOf(const char* store_name, int32_t id, int32_t* status,
              std::string* digest);
// The same for many records in one read of the store: (status, digest) by
// Id; records that are not there are left out. False when the store cannot
// be read.
bool StatusesOf(const char* store_name, const std::vector<int32_t>& ids,
                std::map<int32_t, std::pair<int32_t, std::string>>* records);
// Tests only: `fault` runs before each record StatusesOf reads (it may
// throw, as an allocation part way may); empty to stop.
void SetReadFaultForTesting(std::function<void()> fault);
// Records a message unless one with the same digest exists (then ok with
// that record's Id and nothing written). A failure is also said on stderr
// ("Can't open database: ..." or "DB Error: ...").
base::Status Add(const char* store_name, const char* sender,
                 const char* recipients, const char* subject, const char* body,
                 const char* lowered_body, const char* tokens, int32_t status,
                 const char* date_text, const char* time_text, int32_t* id);
// Sets the status of record `id`; failures are said as Add says them.
base::Status SetStatus(const char* store_name, int32_t id, int32_t status);

// The recorded body, subject and message text of one record. The message
// text is the Message column (the lowered body).
bool LoadForView(const char* store_name, int32_t id, std::string* org_message,
                 std::string* subject, std::string* message_text);

}  // namespace records

#endif  // TARNVEX_STORAGE_RECORDS_H_
