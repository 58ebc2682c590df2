// The service file's tables, indexes and triggers: made when a connection
// opens it, so that older files get what was added since (with CREATE ... IF
// NOT EXISTS and guarded ALTER TABLE) and peers that read the old columns
// still can.
#ifndef TARNVEX_DEVICE_SERVICE_SCHEMA_H_
#define TARNVEX_DEVICE_SERVICE_SCHEMA_H_

#include <sqlite3.h>

#include "base/status.h"

namespace device::service {

// Puts the schema into `db` (already in WAL mode); the reason when it could
// not be.
base::Status ApplySchema(sqlite3* db);

}  // namespace device::service

#endif  // TARNVEX_DEVICE_SERVICE_SCHEMA_H_
