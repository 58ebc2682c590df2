// The one error type's conversions: from SQLite's result codes and to text.
#include "base/status.h"

#include <sqlite3.h>

#include "base/debug.h"

namespace base {

Status Status::FromSqlite(int rc, const std::string& message) {
  switch (rc & 0xFF) {  // the primary code of an extended one
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return Ok();
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Busy(message);
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return Corrupt(message);
    default:
      return IoError(message);
  }
}

std::string Status::ToString() const {
  switch (code_) {
    case Code::kOk:
      return "OK";
    case Code::kNotFound:
      return "Not found: " + message_;
    case Code::kBusy:
      return "Busy: " + message_;
    case Code::kCorrupt:
      return "Corruption: " + message_;
    case Code::kInvalidArgument:
      return "Invalid argument: " + message_;
    case Code::kResourceExhausted:
      return "Resource exhausted: " + message_;
    case Code::kUnavailable:
      return "Unavailable: " + message_;
    case Code::kIoError:
      break;
  }
  return "IO error: " + message_;
}

void IgnoreFailure(const Status& status, const char* what) {
  if (!status.ok())
    DebugOut("%s (going on): %s\n", what, status.ToString().c_str());
}

}  // namespace base
