// The device's bookkeeping of who listens to the message service, for the
// transport's gate: a message leaves an Outbox only after every live process
// that advised its store has finished handling the notification that put it
// there (its sinks returned from OnNotify), and, where a filter program is
// registered for the image, only while that filter listens on the store.
// Like a mail server's content filter: when the filter is down, mail waits.
//
// Each listening process keeps one record file in <run>/listeners/<pid>; the
// registered filters are listed in <image>/.device/filters, one program name
// a line, optionally followed by "except" and store names it never enters.
#ifndef TARNVEX_DEVICE_SERVICE_LISTENERS_H_
#define TARNVEX_DEVICE_SERVICE_LISTENERS_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"

namespace device::service {

struct ListenerRecord {
  pid_t pid = 0;
  unsigned long long start_time = 0;  // guards against a reused pid
  std::string program;                // the executable's file name
  int64_t done = 0;                   // every journal entry up to here handled
  // The stamp of the journal's entry `done` (service_db.h JournalMark): the
  // mark counts only for the journal it was made on. A record without one
  // has handled nothing (files of listeners from before the stamps).
  std::optional<int64_t> stamp;
  // The newest entry the listening process itself made (a hold, while it
  // handled an entry), when it lies above `done`: a journal put back to
  // before it has lost what the listener did.
  int64_t wrote = 0;
  int64_t wrote_stamp = 0;
  std::map<int64_t, bool> stores;  // advised stores: caught up or not yet
};

// Writes (atomically replaces) the record of record.pid.
bool WriteListenerRecord(const ListenerRecord& record);
void RemoveListenerRecord(pid_t pid);
// The records of live processes; records of dead ones are removed.
std::vector<ListenerRecord> LiveListeners();

// This process's executable file name and its start time.
std::string OwnProgramName();
unsigned long long ProcessStartTimeOf(pid_t pid);

struct FilterRegistration {
  std::string program;
  std::vector<std::string> except_stores;  // compared ignoring letter case
};
std::vector<FilterRegistration> RegisteredFilters();
// Invalid argument for a name with a blank or a /, not found for a filter
// that is not registered, an I/O error when the list cannot be written.
base::Status RegisterFilter(const FilterRegistration& filter);
base::Status UnregisterFilter(const std::string& program);

// Whether a listener's mark was made on the journal as it is now: its
// entries at `done` (and at `wrote`, when given) are there with the stamps
// the record names. `stamp_of` gives the stamp of a journal entry by its seq,
// false when there is none (or it cannot be read). A mark at 0 (nothing
// handled) always holds; it lets nothing go. A journal put back from a
// backup, or a new file, makes the marks of the journal before fail: their
// listeners count as having handled nothing until they have caught up.
bool MarkHolds(
    const ListenerRecord& listener,
    const std::function<bool(int64_t seq, int64_t* stamp)>& stamp_of);

// The gate for one message of a store's Outbox that arrived there with
// journal entry `arrival_seq`. True when it may be sent; otherwise *waiting
// says for whom it waits. The listeners' marks must hold (MarkHolds); a
// listener whose mark does not is passed with `done` 0.
bool MaySend(int64_t store, const std::string& store_name, int64_t arrival_seq,
             const std::vector<ListenerRecord>& listeners,
             const std::vector<FilterRegistration>& filters,
             std::string* waiting);

}  // namespace device::service

#endif  // TARNVEX_DEVICE_SERVICE_LISTENERS_H_
