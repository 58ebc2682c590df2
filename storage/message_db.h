// The message databases: one file per message store ("<store>.db", table
// "Msg") holding every message the filter judged, and the summary database
// "Tarnvex_0.db" (table "Tarnvex"). The browser reads both one day at a time
// (ReadStoreDay, ReadSummaryDay) into the day lists it keeps.
//
// Store connections are kept open, one per store file, and each store
// operation holds its store's connection for its whole run; a connection is
// made afresh when its file was removed or replaced meanwhile, so every
// operation sees the file the path names now, as if it had opened it itself.
// The summary connection stays open once opened. Values are bound as
// parameters; stored texts are blanked (each apostrophe a blank) as they always
// were. Database errors go to stderr with their fixed texts.
#ifndef TARNVEX_STORAGE_MESSAGE_DB_H_
#define TARNVEX_STORAGE_MESSAGE_DB_H_

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device/clock.h"
#include "device/status.h"
#include "storage/init.h"

inline constexpr int32_t kMaxDayEntries = 256;
inline constexpr size_t kDayTimeSize = 32;       // 31 characters and the NUL
inline constexpr size_t kSubjectCopySize = 512;  // MAPIAdd's blanked subject
inline constexpr size_t kDayTextUnits = 256;
// Longest narrow date text; it fits the reader's 260-byte date field whole.
inline constexpr size_t kDateTextBytes = 255;

inline constexpr char kCreateMsgTableSql[] =
    "CREATE TABLE Msg (Id INT UNIQUE, Sender TEXT, Recipients TEXT, Subject "
    "TEXT, OrgMessage TEXT, Message TEXT, Tokens TEXT, ReceivedDate TEXT, "
    "ReceivedTime TEXT, Status INT, Hash TEXT);";
inline constexpr char kCreateSummaryTableSql[] =
    "CREATE TABLE %s (Id INT UNIQUE, Sender TEXT, Recipients TEXT, Message "
    "TEXT, Tokens TEXT, ReceivedDate TEXT, ReceivedTime TEXT, Status INT);";
// The lookups by digest and by day, run beside the CREATE statements (on
// their own, so that files made before gain them too). Nothing else reads
// them: peers that know only the tables are not affected.
inline constexpr char kCreateMsgIndexesSql[] =
    "CREATE INDEX IF NOT EXISTS MsgHash ON Msg (Hash);"
    "CREATE INDEX IF NOT EXISTS MsgReceivedDate ON Msg (ReceivedDate);"
    "CREATE INDEX IF NOT EXISTS MsgIdStatusHash ON Msg (Id, Status, Hash);";
inline constexpr char kCreateSummaryIndexSql[] =
    "CREATE INDEX IF NOT EXISTS %sReceivedDate ON %s (ReceivedDate);";
// Store connections kept open at most; beyond, idle ones are closed.
inline constexpr size_t kMaxKeptStoreConnections = 16;

// Start-up: the summary table and the next message number (storage/init.h
// runs it with the rules table).
// `answer`: the card question's, when one was needed (storage/init.h).
void CreateSummaryTable(
    storage::CardAnswer answer = storage::CardAnswer::kNotAsked);
bool OpenSummaryDb();
void CloseSummaryDb();
int MaxSummaryId();

void CreateMsgTable(const char* path);
// Makes sure the store's database and table exist; its largest Id.
int PrepareStoreDb(const char* store_name);
// PrepareStoreDb that says whether the store's database now has its Msg
// table (false when it could not be made: a full disk, a file that cannot be
// written); made again by the next call.
bool EnsureStoreDb(const char* store_name);
int MaxStoreMsgId(const char* store_name);

// Looks a message up by the digest of "body sender recipients subject".
// False (not found) also when the store file cannot be read.
bool MAPIExists(const char* store_name, const char* body, const char* sender,
                const char* recipients, const char* subject, bool* found,
                int32_t* id, int32_t* status, std::string* tokens);
// The digest text MAPIExists looks a message up by, and the same lookup by
// a digest already made (silent on failure).
std::string MessageDigest(const char* body, const char* sender,
                          const char* recipients, const char* subject);
bool ExistsByDigest(const char* store_name, const std::string& digest,
                    bool* found, int32_t* id, int32_t* status);
// The status and digest of record `id`; false when there is none or the
// store cannot be read.
bool RecordStatus(const char* store_name, int32_t id, int32_t* status,
                  std::string* digest);
// The same for many records in one read of the store: (status, digest) by
// Id; records that are not there are left out. False when the store cannot
// be read.
bool RecordStatuses(
    const char* store_name, const std::vector<int32_t>& ids,
    std::map<int32_t, std::pair<int32_t, std::string>>* records);
// Tests only: `fault` runs before each record RecordStatuses reads (it may
// throw, as an allocation part way may); empty to stop.
void SetRecordReadFaultForTesting(std::function<void()> fault);
// Records a message unless one with the same digest exists (then true with
// that record's Id and nothing written).
bool MAPIAdd(const char* store_name, const char* sender, const char* recipients,
             const char* subject, const char* body, const char* lowered_body,
             const char* tokens, int32_t status, const char* date_text,
             const char* time_text, int32_t* id);
bool MAPIUpdate(const char* store_name, int32_t id, int32_t status);

// The one narrowing of a long date, used both for the stored ReceivedDate
// and for the day lists' lookups, so that a day's records are found whatever
// the locale: UTF-8 (SQLite's own text encoding), cut to kDateTextBytes on a
// character boundary. It is lossless, so every day keeps its own text in
// every locale and calendar; code page 1252 would turn Thai, Persian,
// Arabic, Cyrillic, ... into runs of "?" under which days collide.
std::string NarrowDateText(const std::u16string& wide);
// The narrowing of a formatted time for ReceivedTime (shown, never looked
// up): the low byte of each UTF-16 unit, the locale's special blanks as
// blanks, a zero low byte giving '?'.
std::string NarrowTimeText(const std::u16string& wide);
// ReceivedDate and ReceivedTime of a moment of the device clock: the long
// date of its day (as DayText makes it) and its time, both narrowed.
void ReceivedStamp(const device::LocalTime& when, std::string* date,
                   std::string* time);

// The long date of the day `days_back` days before the device clock's today
// (real calendar arithmetic, any offset) and its narrow form.
std::u16string DayText(int days_back, std::string* narrow);
// The same from a given day.
std::u16string DayTextFrom(int year, int month, int day, int days_back,
                           std::string* narrow);
// The calendar day `days_back` days before the given one.
void DaysBefore(int year, int month, int day, int days_back, int* out_year,
                int* out_month, int* out_day);

// One record of a day list.
struct DayRecord {
  int32_t id = 0;
  std::string sender;  // as stored ("Name <addr>" in a store's database)
  std::string recipients;
  std::string subject;  // "" in the summary database, which has none
  std::string message;
  std::string time;  // at most kDayTimeSize - 1 bytes
};

// The records of the day `days_back` days before today, at most
// kMaxDayEntries: status 0 when `list_blocked`, status 1 when `list_normal`.
// `wide_date` receives the day's long date. Not ok (with what was read)
// when the database cannot be read whole: busy (locked by another
// program), corrupt, an I/O error, or not found (no summary database yet).
device::Status ReadStoreDay(const char* store_name, int days_back,
                            bool list_blocked, bool list_normal,
                            std::vector<DayRecord>* records,
                            std::u16string* wide_date);
device::Status ReadSummaryDay(int days_back, bool list_blocked,
                              bool list_normal, std::vector<DayRecord>* records,
                              std::u16string* wide_date);

// The address part of "Name <addr>"; a plain text unchanged.
std::string ExtractAddress(const std::string& text);

// The recorded body, subject and message text of one record. The message
// text is the Message column (the lowered body).
bool LoadMessageForView(const char* store_name, int32_t id,
                        std::string* org_message, std::string* subject,
                        std::string* message_text);

// Closes the kept store connections (each is made again when next used).
void CloseStoreConnections();

// Closes the summary and store connections (tests).
void ResetMessageDb();

#endif  // TARNVEX_STORAGE_MESSAGE_DB_H_
