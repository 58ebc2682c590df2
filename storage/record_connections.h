// The connections to the databases of records: one kept connection per
// store's database file ("<store>.db"), and the one summary connection
// ("Tarnvex_0.db"). Storage's own: the records' writers and the day lists
// run their statements through these.
//
// Store connections are kept open, one per store file, and each store
// operation holds its store's connection for its whole run; a connection is
// made afresh when its file was removed or replaced meanwhile, so every
// operation sees the file the path names now, as if it had opened it itself.
// The summary connection stays open once opened.
#ifndef TARNVEX_STORAGE_RECORD_CONNECTIONS_H_
#define TARNVEX_STORAGE_RECORD_CONNECTIONS_H_

#include <cstddef>
#include <functional>
#include <string>

#include "base/status.h"

struct sqlite3;

// Store connections kept open at most; beyond, idle ones are closed.
inline constexpr size_t kMaxKeptStoreConnections = 16;

namespace storage {

struct KeptConnection;

// A store's connection for the length of one operation: the kept one, or a
// new one that is kept from then on. A connection that could not be made is
// not kept; its error text stays readable until the operation ends.
class StoreConnection {
 public:
  explicit StoreConnection(const char* store_name);
  ~StoreConnection();
  StoreConnection(const StoreConnection&) = delete;
  StoreConnection& operator=(const StoreConnection&) = delete;
  bool ok() const;
  // Why the connection could not be made (ok when it could).
  base::Status status() const;
  sqlite3* db() const;
  const char* error() const;

 private:
  KeptConnection* kept_ = nullptr;  // its lock held while this lives
  sqlite3* own_ = nullptr;          // a connection that failed to open
  base::Status open_ =
      base::Status::IoError("no connection");  // how the open went
};

// Runs `use` on the summary connection (opened first when it is not) with
// the summary lock held, and passes it the summary table's name. `use` must
// not call back into the summary functions (the lock is not recursive). When
// `use` returns false the connection is closed (the next use opens it again).
// False when the connection cannot be opened.
bool WithSummaryDb(
    const std::function<bool(sqlite3* db, const std::string& table)>& use);

}  // namespace storage

bool OpenSummaryDb();
void CloseSummaryDb();

// Closes the kept store connections (each is made again when next used).
void CloseStoreConnections();

// Closes the summary and store connections (tests).
void ResetMessageDb();

#endif  // TARNVEX_STORAGE_RECORD_CONNECTIONS_H_
