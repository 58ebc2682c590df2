// Inside the message service: the transport's gate as the sending and the
// relay's hand-over share it. ReadOutboxes reads the messages of the
// Outboxes with the gate's answer for each; a message then goes only in a
// transaction that finds it still as the gate saw it (kStillAsGateSaw).
#ifndef TARNVEX_DEVICE_SERVICE_GATE_H_
#define TARNVEX_DEVICE_SERVICE_GATE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "device/service/service_db.h"

namespace device::service {

// A message of an Outbox with what the gate needs to know of it.
struct Due {
  int64_t id = 0, store = 0, outbox = 0, since = 0, arrival = 0;
  int64_t arrival_stamp = 0;
  std::string store_name;
  bool may_send = false;
  std::string waiting_for;
};

// The messages that have lain in an Outbox itself since `since_at_most` or
// longer, each with the gate's answer. False when the service file could not
// be read.
bool ReadOutboxes(int64_t since_at_most, std::vector<Due>* due)
    EXCLUDES(Lock());

// A condition over the table "messages" (unaliased): the message is still
// where the gate saw it, since the same moment, the journal entry the gate
// saw handled is still there, and nothing newer was journaled of it. A
// message held meanwhile (or held and released again), one whose recipients
// changed after the gate read the Outbox, or one of a file restored
// meanwhile, does not pass. Eight parameters, bound by BindStillAsGateSaw.
inline constexpr char kStillAsGateSaw[] =
    "id = ? AND folder = ? AND in_folder_since = ? AND NOT EXISTS (SELECT 1 "
    "FROM journal WHERE object = ? AND kind = ? AND seq > ?) AND EXISTS "
    "(SELECT 1 FROM journal WHERE seq = ? AND stamp = ?)";
// Binds kStillAsGateSaw's parameters from `first` on.
void BindStillAsGateSaw(Query& q, int first, const Due& d);

}  // namespace device::service

#endif  // TARNVEX_DEVICE_SERVICE_GATE_H_
