// Throwing a message away (tarnvex-device rm, the messaging application's
// Delete) and counting what lies where (tarnvex-device info).
#include <string>

#include "device/service/service.h"
#include "device/service/service_db.h"

namespace device {

using service::EntryKind;
using service::Lock;
using service::Query;

base::Status DeleteMessage(int64_t id) {
  if (base::Status opened = OpenMessageService(); !opened.ok()) return opened;
  const std::string which =
      "message " + std::to_string(static_cast<long long>(id));
  base::Status refused;
  const bool ok = service::DurableChange([&]() REQUIRES(Lock()) {
    Query q(
        "SELECT m.folder, f.store FROM messages m JOIN folders f ON f.id = "
        "m.folder WHERE m.id = ?;");
    q.Bind(1, id);
    if (!q.Step()) {
      if (!q.failed()) refused = base::Status::NotFound("there is no " + which);
      return false;
    }
    const int64_t folder = q.Int64(0), store = q.Int64(1);
    // A relay is being handed the message: its outcome must find the rows
    // it claimed (deliveries.h), so the message stays until it is back.
    Query sending(
        "SELECT 1 FROM deliveries WHERE message = ? AND state = 'sending' "
        "LIMIT 1;");
    sending.Bind(1, id);
    if (sending.Step()) {
      refused = base::Status::Busy(which +
                                   " is being handed to the relay now; try "
                                   "again in a moment");
      return false;
    }
    if (sending.failed()) return false;
    // The row stays, emptied and in no folder: ids are the file's row ids,
    // and a later message given this one's id would be taken by the filter
    // for the message it judged under that id. Emptied first, so that the
    // recipients' triggers see no message in an Outbox and journal nothing.
    Query empty(
        "UPDATE messages SET folder = 0, subject = NULL, body = NULL, "
        "sender_name = NULL, sender_address = NULL, flags = 0 WHERE id = ?;");
    empty.Bind(1, id);
    if (empty.Exec() != SQLITE_DONE) return false;
    for (const char* sql : {"DELETE FROM bodies WHERE message = ?;",
                            "DELETE FROM recipients WHERE message = ?;",
                            "DELETE FROM raw_messages WHERE message = ?;",
                            "DELETE FROM deliveries WHERE message = ?;"}) {
      Query drop(sql);
      drop.Bind(1, id);
      if (drop.Exec() != SQLITE_DONE) return false;
    }
    return service::Journal(fnevObjectDeleted, store, EntryKind::kMessage, id,
                            folder, 0);
  });
  if (ok) return base::Status::Ok();
  if (!refused.ok()) return refused;
  return base::Status::IoError("cannot delete " + which);
}

bool CountMessages(MessageCounts* counts) {
  *counts = MessageCounts{};
  if (!OpenMessageService().ok()) return false;
  base::MutexLock guard(&Lock());
  static_assert(static_cast<int>(FolderKind::kOutbox) == 2);
  // Held: in a subfolder "Tarnvex" of an Outbox. Waiting: in an Outbox
  // itself, no recipient deferred. Deferred: in an Outbox, a recipient
  // deferred. Failed: a recipient failed, wherever the message went.
  Query q(
      "SELECT (SELECT COUNT(*) FROM messages m JOIN folders f ON f.id = "
      "m.folder JOIN folders p ON p.id = f.parent WHERE p.kind = 2 AND f.name "
      "= 'Tarnvex'), (SELECT COUNT(*) FROM messages m JOIN folders f ON f.id "
      "= m.folder WHERE f.kind = 2 AND NOT EXISTS (SELECT 1 FROM deliveries d "
      "WHERE d.message = m.id AND d.state = 'deferred')), (SELECT COUNT(*) "
      "FROM messages m JOIN folders f ON f.id = m.folder WHERE f.kind = 2 AND "
      "EXISTS (SELECT 1 FROM deliveries d WHERE d.message = m.id AND d.state "
      "= 'deferred')), (SELECT COUNT(DISTINCT d.message) FROM deliveries d "
      "JOIN messages m ON m.id = d.message WHERE d.state = 'failed' AND "
      "m.folder <> 0);");
  if (!q.Step()) return false;
  counts->held = q.Int64(0);
  counts->waiting = q.Int64(1);
  counts->deferred = q.Int64(2);
  counts->failed = q.Int64(3);
  return true;
}

}  // namespace device
