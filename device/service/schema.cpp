// The service file's schema: the tables of stores, folders, messages and
// their bodies, recipients, the change journal, the kept mail and its
// deliveries, and the triggers that journal changes whoever writes them.
#include "device/service/schema.h"

#include <string>

#include "base/sql_statement.h"
#include "device/service/service.h"
#include "device/service/service_db.h"
#include "mapi/mapi.h"

namespace device::service {
namespace {

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

}  // namespace

base::Status ApplySchema(sqlite3* db) {
  char* message = nullptr;
  int rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &message);
  if (rc == SQLITE_OK && !AddJournalStamps(db)) rc = sqlite3_errcode(db);
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(
        db, (kStampTrigger + RecipientTriggers() + MoveTrigger()).c_str(),
        nullptr, nullptr, &message);
  }
  if (rc == SQLITE_OK) return base::Status::Ok();
  const std::string why = message != nullptr ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return base::Status::FromSqlite(rc, why);
}

}  // namespace device::service
