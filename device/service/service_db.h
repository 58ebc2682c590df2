// Inside the message service: what its parts share on the process's service
// (message_service.h: the connection, its lock, changes), entry identifiers
// (entry_ids.cpp), property value blocks (prop_values.cpp), the journal
// (journal.cpp), lookups (folder_lookups.cpp) and the notifier. Not for the
// program: it sees only mapi/mapi.h.
#ifndef TARNVEX_DEVICE_SERVICE_SERVICE_DB_H_
#define TARNVEX_DEVICE_SERVICE_SERVICE_DB_H_

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/sql_statement.h"
#include "device/service/message_service.h"
#include "mapi/mapi.h"

namespace device::service {

// The process's service (MessageService::Current()), and its lock and
// connection as every part of the service names them.
inline MessageService& Service() { return MessageService::Current(); }
inline base::Mutex& Lock() RETURN_CAPABILITY(Service().lock()) {
  return Service().lock();
}
inline sqlite3* Db() REQUIRES(Lock()) { return Service().Db(); }

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

// Journal entries of the change under way (journal.cpp), counted as this
// process's own once it commits. False when the entry could not be written:
// the change must then fail, or listeners would never learn of it.
// The entry the file's own trigger made for a message moved into an Outbox
// by this change, counted as Journal's are. False when there is none.
[[nodiscard]] bool TakeTriggeredArrival(int64_t message, int64_t folder)
    REQUIRES(Lock());
[[nodiscard]] bool Journal(ULONG event, int64_t store, EntryKind kind,
                           int64_t object, int64_t parent, int64_t old_parent)
    REQUIRES(Lock());
// Runs `body` in one immediate transaction, under Lock() (so a body is a
// lambda marked REQUIRES(Lock())); journal entries it makes are committed
// with it. DurableChange syncs its commit before it returns.
inline bool Change(const std::function<bool()>& body) EXCLUDES(Lock()) {
  return Service().Change(body);
}
inline bool DurableChange(const std::function<bool()>& body) EXCLUDES(Lock()) {
  return Service().DurableChange(body);
}

int64_t NowMs();
std::string Utf8(const std::u16string& text);
std::u16string Wide16(const std::string& utf8);
std::u16string ColumnWide(sqlite3_stmt* stmt, int column);

// The connection's kept statements (Query takes and gives back).
inline base::StatementCache& Statements() REQUIRES(Lock()) {
  return Service().statements();
}

// A statement on the process's connection (Db()); hold Lock() while it
// lives.
class Query : public base::Statement {
 public:
  explicit Query(const char* sql) REQUIRES(Lock())
      : base::Statement(&Statements(), Db(), sql) {}
  explicit Query(const std::string& sql) REQUIRES(Lock())
      : base::Statement(&Statements(), Db(), sql) {}
};

// The notifier of the process's service: started by the first Advise. Its
// own locks come after the connection's Lock() (notifier.cpp); these take
// both.
ULONG AddSink(int64_t store, IMAPIAdviseSink* sink) EXCLUDES(Lock());
bool RemoveSink(ULONG connection);

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

// The stamp of the journal's entry `seq`; false when there is none or it
// cannot be read.
bool JournalStamp(int64_t seq, int64_t* stamp) REQUIRES(Lock());
// The newest journal entry that a committed change of this process made on
// the file now open (seq 0 when none): what a listener did while handling an
// entry (a hold) must still be in the journal for its mark to count.
inline JournalMark NewestOwnEntry() { return Service().NewestOwnEntry(); }
inline void ForgetOwnEntries() { Service().ForgetOwnEntries(); }

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
