// The process's connection to the service file and what every part of the
// service shares on it: changes, the journal, property values, lookups.
#include "device/service/service_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/debug.h"
#include "device/codepage.h"
#include "device/files.h"
#include "device/image.h"
#include "device/service/service.h"

namespace device::service {
namespace {

sqlite3* g_db GUARDED_BY(Lock()) = nullptr;
// The image the connection belongs to.
std::string g_db_image GUARDED_BY(Lock());

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS stores (id INTEGER PRIMARY KEY, name TEXT "
    "UNIQUE NOT NULL);"
    "CREATE TABLE IF NOT EXISTS folders (id INTEGER PRIMARY KEY, store INTEGER "
    "NOT NULL, parent INTEGER, name TEXT NOT NULL, kind INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS folders_by_parent ON folders (parent, name);"
    "CREATE TABLE IF NOT EXISTS messages (id INTEGER PRIMARY KEY, folder "
    "INTEGER NOT NULL, subject TEXT, body TEXT, sender_name TEXT, "
    "sender_address TEXT, delivery_time INTEGER, submit_time INTEGER, flags "
    "INTEGER NOT NULL DEFAULT 0, in_folder_since INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS messages_by_folder ON messages (folder);"
    // Bodies live apart from their messages, so that a move rewrites a short
    // row, never the body; the preview is what contents tables show. Rows
    // written with a body in messages.body (files made before, writers that
    // bypass the service) are read all the same (see kBodyOf).
    "CREATE TABLE IF NOT EXISTS bodies (message INTEGER PRIMARY KEY, preview "
    "TEXT, body TEXT);"
    "CREATE TABLE IF NOT EXISTS recipients (message INTEGER NOT NULL, "
    "position INTEGER NOT NULL, address TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS recipients_by_message ON recipients (message);"
    "CREATE TABLE IF NOT EXISTS journal (seq INTEGER PRIMARY KEY "
    "AUTOINCREMENT, event INTEGER NOT NULL, store INTEGER NOT NULL, kind "
    "INTEGER NOT NULL, object INTEGER NOT NULL, parent INTEGER NOT NULL, "
    "old_parent INTEGER NOT NULL, stamp INTEGER DEFAULT (random()));"
    "CREATE INDEX IF NOT EXISTS journal_by_object ON journal (object);"
    // The message as received, for mail that is delivered as it came (the
    // mail path): a table of its own, so rows and peers that know only the
    // columns above are unchanged.
    "CREATE TABLE IF NOT EXISTS raw_messages (message INTEGER PRIMARY KEY, "
    "envelope_from TEXT NOT NULL, raw BLOB NOT NULL);"
    // A relay's deliveries (deliveries.h): one row a recipient of a message
    // handed to the relay, its state in words a person reading the file
    // with the sqlite3 shell understands.
    "CREATE TABLE IF NOT EXISTS deliveries (message INTEGER NOT NULL, "
    "recipient TEXT NOT NULL, state TEXT NOT NULL, due_ms INTEGER NOT NULL "
    "DEFAULT 0, attempts INTEGER NOT NULL DEFAULT 0, first_deferred_ms "
    "INTEGER, reply TEXT NOT NULL DEFAULT '', PRIMARY KEY (message, "
    "recipient));";

// Each journal entry carries a random stamp: a file restored from a backup,
// or a new one, numbers its entries again from an earlier seq, and the
// stamps tell its entries from those a listener handled (listeners.h).
// Files made before the column get it here (ALTER TABLE cannot give an added
// column an expression as default): a trigger stamps every entry written
// without one, whoever writes it.
constexpr char kStampTrigger[] =
    "CREATE TRIGGER IF NOT EXISTS journal_stamped AFTER INSERT ON journal "
    "WHEN NEW.stamp IS NULL BEGIN UPDATE journal SET stamp = random() WHERE "
    "seq = NEW.seq; END;";

// A change to the recipients of a message that lies in an Outbox, and whose
// arrival there the listeners were told of, is a change they are told of
// too: they judged the recipients it had then, and the transport's gate
// waits for this entry as for an arrival. Triggers, so that any writer of
// the file makes the entry; the save itself (recipients written before its
// own entry) makes none. Only built-in SQL: a writer without this program's
// functions must still be able to run them. Made with the schema, so older
// files get them when they are opened.
std::string RecipientTriggers() {
  static_assert(fnevObjectModified == 0x10);
  static_assert(static_cast<int>(EntryKind::kMessage) == 77);
  static_assert(static_cast<int>(FolderKind::kOutbox) == 2);
  // fnevObjectModified, the Outbox as parent, for a message of a folder of
  // kind Outbox that already has an arrival entry there; the WHERE clause
  // that follows names the message.
  const std::string entry =
      "INSERT INTO journal (event, store, kind, object, parent, old_parent) "
      "SELECT 16, f.store, 77, m.id, m.folder, 0 FROM messages m JOIN "
      "folders f ON f.id = m.folder AND f.kind = 2 AND EXISTS (SELECT 1 FROM "
      "journal j WHERE j.object = m.id AND j.kind = 77 AND j.parent = "
      "m.folder) WHERE ";
  auto trigger = [&](const char* name, const char* change,
                     const char* messages) {
    return std::string("CREATE TRIGGER IF NOT EXISTS ") + name + " AFTER " +
           change + " ON recipients BEGIN " + entry + messages + "; END;";
  };
  return trigger("recipients_inserted", "INSERT", "m.id = NEW.message") +
         trigger("recipients_updated", "UPDATE",
                 "m.id IN (OLD.message, NEW.message)") +
         trigger("recipients_deleted", "DELETE", "m.id = OLD.message");
}

// A message that comes into an Outbox from another folder is an arrival the
// listeners are told of, whoever moved it: a move written straight into the
// file (the sqlite3 shell putting a held message back, or a message taken out,
// changed and put back) would otherwise find its old arrival entry there
// and pass the gate unjudged. The service's own moves into an Outbox leave
// their entry to this trigger (objects.cpp), so there is one entry a move.
std::string MoveTrigger() {
  static_assert(fnevObjectMoved == 0x20);
  static_assert(static_cast<int>(EntryKind::kMessage) == 77);
  static_assert(static_cast<int>(FolderKind::kOutbox) == 2);
  return "CREATE TRIGGER IF NOT EXISTS message_moved_to_outbox AFTER UPDATE "
         "OF folder ON messages WHEN NEW.folder IS NOT OLD.folder AND (SELECT "
         "kind FROM folders WHERE id = NEW.folder) = 2 BEGIN INSERT INTO "
         "journal (event, store, kind, object, parent, old_parent) SELECT 32, "
         "f.store, 77, NEW.id, NEW.folder, OLD.folder FROM folders f WHERE "
         "f.id = NEW.folder; END;";
}

// Gives a journal of a file made before the stamps its column, and its
// entries their stamps, in one transaction (another process may be doing the
// same at this moment).
bool AddJournalStamps(sqlite3* db) {
  auto has_stamps = [db] {
    base::Statement q(
        db,
        "SELECT COUNT(*) FROM pragma_table_info('journal') WHERE name = "
        "'stamp';");
    return q.Step() && q.Int64(0) == 1;
  };
  if (has_stamps()) return true;
  if (sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    return false;
  }
  bool ok = has_stamps() ||
            sqlite3_exec(db,
                         "ALTER TABLE journal ADD COLUMN stamp INTEGER;"
                         "UPDATE journal SET stamp = random();",
                         nullptr, nullptr, nullptr) == SQLITE_OK;
  if (ok && sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK)
    return true;
  sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
  return false;
}

// The file the connection was opened on, to tell when another one has been
// renamed over it.
dev_t g_db_device GUARDED_BY(Lock()) = 0;
ino_t g_db_inode GUARDED_BY(Lock()) = 0;

// The newest journal entry a committed change of this process made, and the
// one the change under way has made so far. The notifier reads g_own under
// its own lock.
base::Mutex g_own_lock ACQUIRED_AFTER(Lock());
JournalMark g_own GUARDED_BY(g_own_lock);
JournalMark g_own_pending GUARDED_BY(Lock());

// Checkpoints. Every connection copies the log into the file by itself only
// past kFallbackCheckpointPages; with CheckpointInBackground() this process's
// commits wake a thread once the log holds kCheckpointPages.
constexpr int kCheckpointPages = 1000;
constexpr int kFallbackCheckpointPages = 10000;

// Its lock comes after the connection's: a commit (under Lock()) takes it in
// OnWalCommit.
struct Checkpointer {
  base::Mutex lock ACQUIRED_AFTER(Lock());
  base::CondVar wake;
  bool due GUARDED_BY(lock) = false;
  std::atomic<bool> started{false};  // set once, never cleared
};

Checkpointer& TheCheckpointer() {
  static Checkpointer* checkpointer = new Checkpointer;  // lives until exit
  return *checkpointer;
}

int OnWalCommit(void*, sqlite3*, const char*, int pages) {
  if (pages < kCheckpointPages) return SQLITE_OK;
  Checkpointer& c = TheCheckpointer();
  {
    base::MutexLock guard(&c.lock);
    c.due = true;
  }
  c.wake.Signal();
  return SQLITE_OK;
}

// The checkpoint thread: a passive checkpoint (it never waits for writers or
// readers) on a connection of its own, opened for each one so that it
// follows the image and a file put in place of the old one.
void CheckpointLoop() {
  Checkpointer& c = TheCheckpointer();
  for (;;) {
    {
      base::MutexLock guard(&c.lock);
      while (!c.due) c.wake.Wait(&c.lock);
      c.due = false;
    }
    std::string path;
    {
      base::MutexLock guard(&Lock());
      if (g_db == nullptr) continue;
      path = MessageServicePath();
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
        SQLITE_OK) {
      base::WaitWhileBusy(db, 1000);
      int log = 0, copied = 0;
      if (sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                    &log, &copied) != SQLITE_OK) {
        base::DebugOut("message service: checkpoint: %s\n", sqlite3_errmsg(db));
      }
    }
    sqlite3_close_v2(db);
  }
}

// Not under the checkpointer's lock: SQLite takes the connection's own mutex
// here, and OnWalCommit takes the checkpointer's lock under it.
void HookCheckpoints(sqlite3* db) EXCLUDES(TheCheckpointer().lock) {
  if (TheCheckpointer().started.load())
    sqlite3_wal_hook(db, OnWalCommit, nullptr);
}

// Listeners wake when a file in the service's folder changes, but a commit
// writes its log before it becomes visible (after the log's sync, in the
// shared memory, which no file watch sees): a listener woken by the log's
// write may read too early and then sleep through the commit. So every
// commit of this process is followed by a write to a file of its own there,
// made when the commit can be read. (A commit written by another program is
// seen at a later wake, at the latest at the listeners' fallback wake.)
int g_commit_fd GUARDED_BY(Lock()) = -1;
std::string g_commit_path GUARDED_BY(Lock());

void MarkCommit() REQUIRES(Lock()) {
  const std::string want = MessageServicePath() + "-commit";
  if (g_commit_fd < 0 || g_commit_path != want) {
    if (g_commit_fd >= 0) close(g_commit_fd);
    g_commit_path = want;
    g_commit_fd =
        open(g_commit_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
             kPrivateFileMode);
  }
  if (g_commit_fd < 0) return;
  const char mark = '.';
  if (pwrite(g_commit_fd, &mark, 1, 0) != 1) {
    close(g_commit_fd);
    g_commit_fd = -1;
  }
}

}  // namespace

void StartBackgroundCheckpoints() {
  Checkpointer& c = TheCheckpointer();
  {
    base::MutexLock guard(&c.lock);
    if (c.started.load()) return;
    std::thread(CheckpointLoop).detach();
    c.started.store(true);
  }
  base::MutexLock guard(&Lock());
  if (g_db != nullptr) HookCheckpoints(g_db);
}

base::StatementCache& Statements() {
  static base::StatementCache* statements =
      new base::StatementCache;  // lives until exit
  return *statements;
}

base::Mutex& Lock() {
  static base::Mutex* lock = new base::Mutex;  // lives until exit
  return *lock;
}

sqlite3* Db() {
  std::string error;
  if (!EnsureOpen(&error)) return nullptr;
  return g_db;
}

bool EnsureOpen(std::string* error) {
  if (g_db != nullptr && g_db_image == ImageRoot()) return true;
  if (g_db != nullptr) {
    Statements().Clear();
    sqlite3_close_v2(g_db);
    g_db = nullptr;
  }
  if (!ImageExists()) {
    *error =
        "no device image at " + ImageRoot() + " (run \"tarnvex-device init\")";
    return false;
  }
  EnsurePrivateDir(DeviceDataDir());
  std::string path = MessageServicePath();
  // A file that is there but is no database is refused before SQLite could
  // take it for an empty one and write over it.
  {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) {
      char header[16] = {};
      size_t got = std::fread(header, 1, sizeof header, file);
      std::fclose(file);
      if (got != 0 && (got != sizeof header ||
                       std::memcmp(header, "SQLite format 3", 16) != 0)) {
        *error = "the message service " + path +
                 " is not a database; it was left as it is";
        return false;
      }
    }
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
      nullptr);
  if (rc != SQLITE_OK) {
    *error = "cannot open the message service " + path + ": " +
             (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return false;
  }
  base::WaitWhileBusy(db, 10000);
  char* message = nullptr;
  rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, &message);
  if (rc == SQLITE_OK) {
    sqlite3_free(message);
    message = nullptr;
    rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &message);
  }
  if (rc == SQLITE_OK && !AddJournalStamps(db)) rc = sqlite3_errcode(db);
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(
        db, (kStampTrigger + RecipientTriggers() + MoveTrigger()).c_str(),
        nullptr, nullptr, &message);
  }
  if (rc != SQLITE_OK) {
    *error = "the message service " + path + " is not usable: " +
             (message != nullptr ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    sqlite3_close(db);
    return false;
  }
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  sqlite3_wal_autocheckpoint(db, kFallbackCheckpointPages);
  HookCheckpoints(db);
  struct stat opened {};
  if (stat(path.c_str(), &opened) == 0) {
    g_db_device = opened.st_dev;
    g_db_inode = opened.st_ino;
  }
  g_db = db;
  g_db_image = ImageRoot();
  ForgetOwnEntries();  // they were entries of another file
  return true;
}

void CloseDb() {
  Statements().Clear();
  if (g_db != nullptr) sqlite3_close_v2(g_db);
  g_db = nullptr;
  g_db_image.clear();
  ForgetOwnEntries();
}

bool ReopenIfReplaced() {
  if (g_db == nullptr || !sqlite3_get_autocommit(g_db)) return false;
  struct stat now {};
  // No file at the path (being replaced, or removed): the open one stays;
  // opening would make an empty service.
  if (stat(MessageServicePath().c_str(), &now) != 0) return false;
  if (now.st_dev == g_db_device && now.st_ino == g_db_inode) return false;
  base::DebugOut("message service: %s was replaced; opening the new file\n",
                 MessageServicePath().c_str());
  // Closed before the new file is opened: the last connection to the old
  // file writes its log into it and removes the log, which the new file
  // must not find.
  CloseDb();
  std::string error;
  if (!EnsureOpen(&error))
    base::DebugOut("message service: %s\n", error.c_str());
  return true;
}

JournalMark NewestOwnEntry() {
  base::MutexLock guard(&g_own_lock);
  return g_own;
}

void ForgetOwnEntries() {
  base::MutexLock guard(&g_own_lock);
  g_own = JournalMark{};
}

// --- entry identifiers ------------------------------------------------------

std::vector<uint8_t> MakeEntryId(EntryKind kind, int64_t id) {
  std::vector<uint8_t> bytes(13, 0);
  bytes[4] = static_cast<uint8_t>(kind);
  for (int i = 0; i < 8; ++i) {
    bytes[5 + i] = static_cast<uint8_t>(static_cast<uint64_t>(id) >> (8 * i));
  }
  return bytes;
}

bool ParseEntryId(ULONG size, const void* bytes, EntryKind* kind, int64_t* id) {
  if (size != 13 || bytes == nullptr) return false;
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  if (b[0] != 0 || b[1] != 0 || b[2] != 0 || b[3] != 0) return false;
  if (b[4] != 'S' && b[4] != 'F' && b[4] != 'M') return false;
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i)
    value |= static_cast<uint64_t>(b[5 + i]) << (8 * i);
  *kind = static_cast<EntryKind>(b[4]);
  *id = static_cast<int64_t>(value);
  return *id > 0;
}

// --- property values --------------------------------------------------------

Prop LongProp(ULONG tag, int64_t value) {
  Prop p;
  p.tag = tag;
  p.number = value;
  return p;
}
Prop TextProp(ULONG tag, const std::u16string& text) {
  Prop p;
  p.tag = tag;
  p.text = text;
  return p;
}
Prop BinProp(ULONG tag, std::vector<uint8_t> bytes) {
  Prop p;
  p.tag = tag;
  p.bytes = std::move(bytes);
  return p;
}
Prop TimeProp(ULONG tag, int64_t ms) { return LongProp(tag, ms); }
Prop ErrorProp(ULONG tag) {
  return LongProp(CHANGE_PROP_TYPE(tag, PT_ERROR), MAPI_E_NOT_FOUND);
}

LPSPropValue AllocProps(const std::vector<Prop>& props) {
  size_t size = sizeof(SPropValue) * (props.empty() ? 1 : props.size());
  for (const Prop& p : props) {
    switch (PROP_TYPE(p.tag)) {
      case PT_UNICODE:
        size += (p.text.size() + 1) * sizeof(char16_t) + 8;
        break;
      case PT_BINARY:
        size += p.bytes.size() + 8;
        break;
      default:
        break;
    }
  }
  void* block = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(size), &block) != S_OK)
    return nullptr;
  std::memset(block, 0, size);
  LPSPropValue values = static_cast<LPSPropValue>(block);
  uint8_t* extra = static_cast<uint8_t*>(block) +
                   sizeof(SPropValue) * (props.empty() ? 1 : props.size());
  for (size_t i = 0; i < props.size(); ++i) {
    const Prop& p = props[i];
    SPropValue& v = values[i];
    v.ulPropTag = p.tag;
    switch (PROP_TYPE(p.tag)) {
      case PT_UNICODE: {
        // Keep the text 2-aligned.
        extra += reinterpret_cast<uintptr_t>(extra) % 2;
        v.Value.lpszW = reinterpret_cast<LPWSTR>(extra);
        std::memcpy(extra, p.text.data(), p.text.size() * sizeof(char16_t));
        extra += (p.text.size() + 1) * sizeof(char16_t);
        break;
      }
      case PT_BINARY:
        v.Value.bin.cb = static_cast<ULONG>(p.bytes.size());
        v.Value.bin.lpb = extra;
        if (!p.bytes.empty())
          std::memcpy(extra, p.bytes.data(), p.bytes.size());
        extra += p.bytes.size();
        break;
      case PT_LONG:
        v.Value.l = static_cast<LONG>(p.number);
        break;
      case PT_ERROR:
        v.Value.err = static_cast<HRESULT>(p.number);
        break;
      case PT_BOOLEAN:
        v.Value.b = p.number != 0;
        break;
      case PT_I8:
        v.Value.li = p.number;
        break;
      case PT_SYSTIME: {
        // FILETIME: 100 ns ticks since 1601.
        uint64_t ticks =
            static_cast<uint64_t>(p.number) * 10000ull + 116444736000000000ull;
        v.Value.ft.dwLowDateTime = static_cast<uint32_t>(ticks);
        v.Value.ft.dwHighDateTime = static_cast<uint32_t>(ticks >> 32);
        break;
      }
      default:
        break;
    }
  }
  return values;
}

std::vector<Prop> SelectProps(const std::vector<Prop>& all,
                              LPSPropTagArray tags) {
  if (tags == nullptr) return all;
  std::vector<Prop> out;
  for (ULONG i = 0; i < tags->cValues; ++i) {
    ULONG tag = tags->aulPropTag[i];
    const Prop* found = nullptr;
    for (const Prop& p : all) {
      // A string asked for in its 8-bit form is given in the wide form's
      // place only when asked for exactly; the program asks wide.
      if (p.tag == tag) {
        found = &p;
        break;
      }
    }
    out.push_back(found != nullptr ? *found : ErrorProp(tag));
  }
  return out;
}

// --- changes ----------------------------------------------------------------

bool Journal(ULONG event, int64_t store, EntryKind kind, int64_t object,
             int64_t parent, int64_t old_parent) {
  Query q(
      "INSERT INTO journal (event, store, kind, object, parent, old_parent, "
      "stamp) VALUES (?, ?, ?, ?, ?, ?, random()) RETURNING seq, stamp;");
  q.Bind(1, event).Bind(2, store).Bind(3, static_cast<int64_t>(kind));
  q.Bind(4, object).Bind(5, parent).Bind(6, old_parent);
  if (!q.Step()) return false;
  const JournalMark made{q.Int64(0), q.Int64(1)};
  if (q.Next() != base::Statement::Result::kDone) return false;
  g_own_pending = made;
  return true;
}

bool TakeTriggeredArrival(int64_t message, int64_t folder) {
  Query q(
      "SELECT seq, stamp FROM journal WHERE object = ? AND kind = ? AND "
      "parent = ? ORDER BY seq DESC LIMIT 1;");
  q.Bind(1, message)
      .Bind(2, static_cast<int64_t>(EntryKind::kMessage))
      .Bind(3, folder);
  if (!q.Step() || q.IsNull(1)) return false;
  g_own_pending = JournalMark{q.Int64(0), q.Int64(1)};
  return true;
}

int64_t ArrivalSeq(int64_t message, int64_t folder, int64_t* stamp) {
  Query q(
      "SELECT seq, stamp FROM journal WHERE object = ? AND kind = ? AND "
      "parent = ? ORDER BY seq DESC LIMIT 1;");
  q.Bind(1, message)
      .Bind(2, static_cast<int64_t>(EntryKind::kMessage))
      .Bind(3, folder);
  if (!q.Step()) return 0;
  if (stamp != nullptr) *stamp = q.Int64(1);
  return q.Int64(0);
}

bool JournalStamp(int64_t seq, int64_t* stamp) {
  Query q("SELECT stamp FROM journal WHERE seq = ?;");
  q.Bind(1, seq);
  if (!q.Step() || q.IsNull(0)) return false;
  *stamp = q.Int64(0);
  return true;
}

namespace {

bool ChangeLocked(const std::function<bool()>& body) REQUIRES(Lock()) {
  // Listeners see the commit in the file itself (notifier.cpp); nobody
  // needs to be woken.
  sqlite3* db = Db();
  if (db == nullptr) return false;
  if (sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    return false;
  }
  g_own_pending = JournalMark{};
  bool ok = false;
  try {
    ok = body();
  } catch (...) {
    base::DebugCaught("Change");
    ok = false;
  }
  if (ok &&
      sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK) {
    MarkCommit();
    if (g_own_pending.seq != 0) {
      base::MutexLock own_guard(&g_own_lock);
      g_own = g_own_pending;
    }
    return true;
  }
  sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
  return false;
}

}  // namespace

bool Change(const std::function<bool()>& body) {
  base::MutexLock guard(&Lock());
  return ChangeLocked(body);
}

bool DurableChange(const std::function<bool()>& body) {
  base::MutexLock guard(&Lock());
  sqlite3* db = Db();
  if (db == nullptr) return false;
  // FULL syncs the write-ahead log at this commit; the connection goes back
  // to NORMAL for every other change.
  if (sqlite3_exec(db, "PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    return false;
  }
  const bool ok = ChangeLocked(body);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  return ok;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Utf8(const std::u16string& text) { return WideToUtf8(text); }
std::u16string Wide16(const std::string& utf8) { return Utf8ToWide(utf8); }

std::u16string ColumnWide(sqlite3_stmt* stmt, int column) {
  return Wide16(base::ColumnText(stmt, column));
}

// --- lookups ----------------------------------------------------------------

namespace {

void NoteFailure(const Query& q, bool* failed) {
  if (failed != nullptr && q.failed()) *failed = true;
}

}  // namespace

int64_t StandardFolder(int64_t store, int kind, bool* failed) {
  Query q(
      "SELECT id FROM folders WHERE store = ? AND kind = ? ORDER BY id LIMIT "
      "1;");
  q.Bind(1, store).Bind(2, kind);
  int64_t id = q.Step() ? q.Int64(0) : 0;
  NoteFailure(q, failed);
  return id;
}

int64_t StoreOfFolder(int64_t folder, bool* failed) {
  Query q("SELECT store FROM folders WHERE id = ?;");
  q.Bind(1, folder);
  int64_t store = q.Step() ? q.Int64(0) : 0;
  NoteFailure(q, failed);
  return store;
}

std::u16string FolderName(int64_t folder, bool* failed) {
  Query q("SELECT name FROM folders WHERE id = ?;");
  q.Bind(1, folder);
  std::u16string name = q.Step() ? ColumnWide(q.get(), 0) : u"";
  NoteFailure(q, failed);
  return name;
}

int64_t FolderParent(int64_t folder, bool* failed) {
  Query q("SELECT parent FROM folders WHERE id = ?;");
  q.Bind(1, folder);
  int64_t parent = q.Step() ? q.Int64(0) : 0;
  NoteFailure(q, failed);
  return parent;
}

std::string FolderPath(int64_t folder) {
  std::string path;
  for (int depth = 0; folder != 0 && depth < 64; ++depth) {
    int64_t parent = FolderParent(folder);
    if (parent == 0) break;  // the root has no name in paths
    std::string name = Utf8(FolderName(folder));
    path = path.empty() ? name : name + "\\" + path;
    folder = parent;
  }
  return path;
}

}  // namespace device::service

// --- memory -----------------------------------------------------------------

HRESULT MAPIAllocateBuffer(ULONG size, LPVOID* buffer) {
  if (buffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *buffer = std::malloc(size == 0 ? 1 : size);
  return *buffer != nullptr ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

ULONG MAPIFreeBuffer(LPVOID buffer) {
  std::free(buffer);
  return 0;
}

void FreeProws(LPSRowSet rows) {
  if (rows == nullptr) return;
  for (ULONG i = 0; i < rows->cRows; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
  MAPIFreeBuffer(rows);
}
