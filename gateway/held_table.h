// The gateway's own table beside the records: one row for each message it
// put into a Postfix hold queue, by that Postfix's host name and queue id,
// with the whole envelope (every recipient, uncut: what the release judges
// again) and the release's bookkeeping. It lives in "Gateway.db" next to the
// message database's own table Msg, which keeps the record as the browser
// reads it; several held messages alike (same digest) share one record.
//
// One connection, guarded by a lock: the milter's sessions and the release
// worker call in from any thread. Every change is committed with a full
// sync before the call returns (a hold Postfix keeps must keep its row).
#ifndef TARNVEX_GATEWAY_HELD_TABLE_H_
#define TARNVEX_GATEWAY_HELD_TABLE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/status.h"

struct sqlite3;

namespace gateway {

// Where a held message stands.
inline constexpr int32_t kHeld = 0;  // in the hold queue, waiting for a rule
inline constexpr int32_t kReleased = 1;  // released into the queue
inline constexpr int32_t kGone = 2;      // no longer in its Postfix's queue

struct HeldEntry {
  int64_t row = 0;
  std::string host;  // the Postfix's name (macro j); "" when it gave none
  std::string queue_id;
  int32_t record_id = -1;               // the record's Id in Msg
  std::string sender;                   // the envelope sender ("" for <>)
  std::vector<std::string> recipients;  // every envelope recipient, in order
  std::string subject;        // the record's, for listings (not stored here)
  std::string received_date;  // the records' day text (day lists look it up)
  std::string received_time;
  int64_t held_at_ms = 0;  // Unix time
  int32_t status = kHeld;
  int32_t tries = 0;  // failed releases so far
  int64_t next_try_ms = 0;
  std::string last_error;
};

class HeldTable {
 public:
  HeldTable() = default;
  ~HeldTable();
  HeldTable(const HeldTable&) = delete;
  HeldTable& operator=(const HeldTable&) = delete;

  // Opens the database at `host_path` (made private when new) and makes the
  // table when it has none. A table that could not be opened is opened
  // again by each later call, so a records file put right is taken up.
  base::Status Open(const std::string& host_path);
  void Close();

  // A new hold; a row of the same host and queue id is replaced. When that
  // row is still held, its recipients stay with the new ones (entry's
  // recipients then hold both): Postfix has given a short queue id again, or
  // a client of the milter named a held message's id, and in neither case
  // may a rule that covers only the newcomer's recipients release the
  // message Postfix holds under that id. Sets entry->row.
  base::Status Insert(HeldEntry* entry);
  base::Status Remove(int64_t row);
  // The rows of one status, oldest first.
  base::Status WithStatus(int32_t status, std::vector<HeldEntry>* out);
  // For listings: the rows of the day texts `days` (none: every day) and of
  // `status` (none: every status), oldest first, with their records'
  // subjects from Msg.
  base::Status List(const std::vector<std::string>& days,
                    std::optional<int32_t> status, std::vector<HeldEntry>* out);
  // Writes status, tries, next try and last error of entry.row.
  base::Status Update(const HeldEntry& entry);
  // How many rows of `record_id` still have `status`.
  base::Status CountOfRecord(int32_t record_id, int32_t status, int* count);

 private:
  base::Status ReadRows(const std::string& sql,
                        const std::vector<std::string>& texts,
                        std::optional<int32_t> status, bool with_subject,
                        std::vector<HeldEntry>* out) REQUIRES(lock_);

  base::Status OpenLocked() REQUIRES(lock_);
  base::Status InsertLocked(HeldEntry* entry) REQUIRES(lock_);

  base::Mutex lock_;
  std::string path_ GUARDED_BY(lock_);
  sqlite3* db_ GUARDED_BY(lock_) = nullptr;
};

// Recipients as stored: one a line.
std::string JoinLines(const std::vector<std::string>& items);
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_HELD_TABLE_H_
