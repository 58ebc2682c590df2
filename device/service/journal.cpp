// The change journal as the service's own changes write and read it: the
// entries a change makes (counted as this process's own once it commits)
// and the lookups of a message's arrival entry and of an entry's stamp.
#include "device/service/service_db.h"

namespace device::service {

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
  Service().NoteOwnEntry(made);
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
  Service().NoteOwnEntry(JournalMark{q.Int64(0), q.Int64(1)});
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

}  // namespace device::service
