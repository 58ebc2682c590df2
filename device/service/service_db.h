// Inside the message service: the process's one connection to the service
// file, entry identifiers, property value blocks and the notifier. Not for
// the program: it sees only mapi/mapi.h.
#ifndef TARNVEX_DEVICE_SERVICE_SERVICE_DB_H_
#define TARNVEX_DEVICE_SERVICE_SERVICE_DB_H_

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/sql_statement.h"
#include "mapi/mapi.h"

namespace device::service {

// The lock of the process's connection. Every use holds it; a change runs
// inside Change(), which takes it, commits, journals and wakes the
// listeners. It is not recursive: a function that takes it calls only
// functions that REQUIRES it, never one that takes it again. Lock order: it
// comes before the notifier's locks, the own-entries lock and the
// checkpointer's lock (service_db.cpp, notifier.cpp), which are taken under
// it and never take it.
base::Mutex& Lock();
sqlite3* Db() REQUIRES(Lock());  // null when the service cannot be opened
bool EnsureOpen(std::string* error) REQUIRES(Lock());
// Closes the connection (the notifier must be stopped first).
void CloseDb() REQUIRES(Lock());
// Opens the file at the service's path again when it is another file than
// the one the connection has open (a copy renamed over it: the connection
// would go on reading the old one). True when it did; never inside a
// change.
bool ReopenIfReplaced() REQUIRES(Lock());

// Entry identifiers: four flag bytes, a kind byte and the row id (8 bytes,
// least significant first).
enum class EntryKind : uint8_t { kStore = 'S', kFolder = 'F', kMessage = 'M' };
std::vector<uint8_t> MakeEntryId(EntryKind kind, int64_t id);
bool ParseEntryId(ULONG size, const void* bytes, EntryKind* kind, int64_t* id);

// A property value before it is handed out.
struct Prop {
  ULONG tag = 0;
  int64_t number = 0;   // PT_LONG, PT_I8, PT_SYSTIME (ms since 1970), PT_ERROR
  std::u16string text;  // PT_UNICODE
  std::vector<uint8_t> bytes;  // PT_BINARY
};
Prop LongProp(ULONG tag, int64_t value);
Prop TextProp(ULONG tag, const std::u16string& text);
Prop BinProp(ULONG tag, std::vector<uint8_t> bytes);
Prop TimeProp(ULONG tag, int64_t ms);
Prop ErrorProp(ULONG tag);  // the tag's id with PT_ERROR, MAPI_E_NOT_FOUND

// One MAPIAllocateBuffer block holding the values and everything they point
// to.
LPSPropValue AllocProps(const std::vector<Prop>& props);
// The values for the requested tags (all when `tags` is null); missing ones
// come back as error values.
std::vector<Prop> SelectProps(const std::vector<Prop>& all,
                              LPSPropTagArray tags);

// Journal events (the notification event numbers). False when the entry
// could not be written: the change must then fail, or listeners would never
// learn of it.
// The entry the file's own trigger made for a message moved into an Outbox
// by this change (service_db.cpp), counted as this process's own entry as
// Journal's are. False when there is none.
[[nodiscard]] bool TakeTriggeredArrival(int64_t message, int64_t folder)
    REQUIRES(Lock());
[[nodiscard]] bool Journal(ULONG event, int64_t store, EntryKind kind,
                           int64_t object, int64_t parent, int64_t old_parent)
    REQUIRES(Lock());
// Runs `body` in one immediate transaction, under Lock() (so a body is a
// lambda marked REQUIRES(Lock())); journal entries it makes are committed
// with it.
bool Change(const std::function<bool()>& body) EXCLUDES(Lock());
// Change whose commit is synced to the disk before it returns (the
// connection otherwise syncs only at checkpoints): for what an "accepted"
// answer follows.
bool DurableChange(const std::function<bool()>& body) EXCLUDES(Lock());

int64_t NowMs();
std::string Utf8(const std::u16string& text);
std::u16string Wide16(const std::string& utf8);
std::u16string ColumnWide(sqlite3_stmt* stmt, int column);

// CheckpointInBackground (service.h) for this process's connection.
void StartBackgroundCheckpoints() EXCLUDES(Lock());

// The connection's kept statements (Query takes and gives back).
base::StatementCache& Statements() REQUIRES(Lock());

// A statement on the process's connection (Db()); hold Lock() while it
// lives.
class Query : public base::Statement {
 public:
  explicit Query(const char* sql) REQUIRES(Lock())
      : base::Statement(&Statements(), Db(), sql) {}
  explicit Query(const std::string& sql) REQUIRES(Lock())
      : base::Statement(&Statements(), Db(), sql) {}
};

// The notifier of this process: started by the first Advise. Its own locks
// come after the connection's Lock() (notifier.cpp); these take both.
ULONG AddSink(int64_t store, IMAPIAdviseSink* sink) EXCLUDES(Lock());
bool RemoveSink(ULONG connection);
// Not under Lock(): the notification thread may be waiting for it while it
// is joined.
void StopNotifier() EXCLUDES(Lock());

// SQL expressions of a message's body for a query over "messages m": the
// whole text, its preview (the first kBodyPreviewChars characters), and
// whether it has one. None of them reads a body it does not return.
inline constexpr char kBodyOf[] =
    "COALESCE((SELECT b.body FROM bodies b WHERE b.message = m.id), m.body)";
inline constexpr char kBodyPreviewOf[] =
    "COALESCE((SELECT b.preview FROM bodies b WHERE b.message = m.id), "
    "substr(m.body, 1, 255))";
inline constexpr char kHasBodyOf[] =
    "(EXISTS (SELECT 1 FROM bodies b WHERE b.message = m.id) OR "
    "typeof(m.body) <> 'null')";
inline constexpr int kBodyPreviewChars = 255;

// The journal entry with which a message last arrived in `folder` (or was
// last changed there); 0 when the journal has none. *stamp (when given) gets
// the entry's stamp.
int64_t ArrivalSeq(int64_t message, int64_t folder, int64_t* stamp = nullptr)
    REQUIRES(Lock());

// A journal entry by its seq and its random stamp: a file restored from a
// backup, or a new one, numbers its entries from an earlier seq again, and
// only the stamp tells its entry from the one of the same seq before.
struct JournalMark {
  int64_t seq = 0;
  int64_t stamp = 0;
};
// The stamp of the journal's entry `seq`; false when there is none or it
// cannot be read.
bool JournalStamp(int64_t seq, int64_t* stamp) REQUIRES(Lock());
// The newest journal entry that a committed change of this process made on
// the file now open (seq 0 when none): what a listener did while handling an
// entry (a hold) must still be in the journal for its mark to count.
JournalMark NewestOwnEntry();
void ForgetOwnEntries();

// Store and folder lookups: 0 or empty when there is no such thing. *failed
// (when given) is set when the service file could not be read, which is not
// the same as "there is none".
int64_t StandardFolder(int64_t store, int kind, bool* failed = nullptr)
    REQUIRES(Lock());
int64_t StoreOfFolder(int64_t folder, bool* failed = nullptr) REQUIRES(Lock());
std::u16string FolderName(int64_t folder, bool* failed = nullptr)
    REQUIRES(Lock());
int64_t FolderParent(int64_t folder, bool* failed = nullptr) REQUIRES(Lock());
std::string FolderPath(int64_t folder) REQUIRES(Lock());

}  // namespace device::service

#endif  // TARNVEX_DEVICE_SERVICE_SERVICE_DB_H_
