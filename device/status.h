// The result of an operation whose caller must know why it failed, in the
// manner of LevelDB's Status: ok, or a kind (not found, busy, corrupt, I/O
// error) with a message. Cheap to copy; no exceptions.
#ifndef TARNVEX_DEVICE_STATUS_H_
#define TARNVEX_DEVICE_STATUS_H_

#include <string>
#include <utility>

namespace device {

class Status {
 public:
  enum class Code { kOk, kNotFound, kBusy, kCorrupt, kIoError };

  Status() = default;  // ok
  static Status Ok() { return Status(); }
  static Status NotFound(std::string message) {
    return Status(Code::kNotFound, std::move(message));
  }
  static Status Busy(std::string message) {
    return Status(Code::kBusy, std::move(message));
  }
  static Status Corrupt(std::string message) {
    return Status(Code::kCorrupt, std::move(message));
  }
  static Status IoError(std::string message) {
    return Status(Code::kIoError, std::move(message));
  }
  // From an SQLite result code and its error text: SQLITE_OK, SQLITE_DONE
  // and SQLITE_ROW are ok; a lock not granted is busy; a damaged file or
  // one that is no database is corrupt; anything else an I/O error.
  static Status FromSqlite(int rc, const std::string& message);

  bool ok() const { return code_ == Code::kOk; }
  bool IsNotFound() const { return code_ == Code::kNotFound; }
  bool IsBusy() const { return code_ == Code::kBusy; }
  bool IsCorrupt() const { return code_ == Code::kCorrupt; }
  bool IsIoError() const { return code_ == Code::kIoError; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  // "OK", or the kind and the message ("Busy: database is locked").
  std::string ToString() const;

 private:
  Status(Code code, std::string message)
      : code_(code), message_(std::move(message)) {}

  Code code_ = Code::kOk;
  std::string message_;
};

}  // namespace device

#endif  // TARNVEX_DEVICE_STATUS_H_
