// The program's one error type: the result of an operation whose caller must
// know why it failed, in the manner of LevelDB's Status: ok, or a code (not
// found, busy, corrupt, I/O error, refused input, unavailable) with a
// reason. Cheap to copy; no exceptions. A caller that goes on whatever the
// result says so with IgnoreFailure, which keeps the reason in the debug
// output. StatusOr<T> is the result of an operation that makes a value: the
// value, or why not.
#ifndef TARNVEX_BASE_STATUS_H_
#define TARNVEX_BASE_STATUS_H_

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace base {

class [[nodiscard]] Status {
 public:
  enum class Code {
    kOk,
    kNotFound,
    kBusy,
    kCorrupt,
    kIoError,
    kInvalidArgument,    // input refused (a statement that is not one, ...)
    kResourceExhausted,  // no room left (a table in memory that is full)
    kUnavailable,        // not there now (no device image yet, ...)
  };

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
  static Status InvalidArgument(std::string message) {
    return Status(Code::kInvalidArgument, std::move(message));
  }
  static Status ResourceExhausted(std::string message) {
    return Status(Code::kResourceExhausted, std::move(message));
  }
  static Status Unavailable(std::string message) {
    return Status(Code::kUnavailable, std::move(message));
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
  bool IsInvalidArgument() const { return code_ == Code::kInvalidArgument; }
  bool IsResourceExhausted() const { return code_ == Code::kResourceExhausted; }
  bool IsUnavailable() const { return code_ == Code::kUnavailable; }
  Code code() const { return code_; }
  // Why it failed ("" when ok).
  const std::string& message() const { return message_; }
  // "OK", or the kind and the message ("Busy: database is locked").
  std::string ToString() const;

 private:
  Status(Code code, std::string message)
      : code_(code), message_(std::move(message)) {}

  Code code_ = Code::kOk;
  std::string message_;
};

// For a caller that goes on whatever `status` says (the failure is harmless
// there, or told elsewhere): names that choice at the call, and writes a
// failure with `what` to the debug output.
void IgnoreFailure(const Status& status, const char* what);

// A value of T, or the non-ok Status that says why there is none. Made
// from either (`return value;`, `return Status::NotFound(...);`). An ok
// Status without a value is a caller's mistake: it becomes a failure, so
// that ok() always means a value is there. Reading the value of a failure
// stops the program with the status (never undefined behaviour).
template <typename T>
class [[nodiscard]] StatusOr {
  static_assert(!std::is_same_v<std::remove_cv_t<T>, Status>,
                "StatusOr<Status> says nothing Status does not");

 public:
  StatusOr(Status status)  // NOLINT(google-explicit-constructor)
      : status_(status.ok()
                    ? Status::InvalidArgument("StatusOr made from an ok Status")
                    : std::move(status)) {}
  StatusOr(const T& value)  // NOLINT(google-explicit-constructor)
      : value_(value) {}
  StatusOr(T&& value)  // NOLINT(google-explicit-constructor)
      : value_(std::move(value)) {}

  bool ok() const { return status_.ok(); }
  // Ok when there is a value.
  const Status& status() const& { return status_; }
  Status status() && { return std::move(status_); }

  const T& value() const& { return *Checked(); }
  T& value() & { return *Checked(); }
  T&& value() && { return std::move(*Checked()); }
  const T& operator*() const& { return value(); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }

 private:
  const std::optional<T>& Checked() const {
    if (!value_.has_value()) {
      std::fprintf(stderr, "StatusOr without a value read: %s\n",
                   status_.ToString().c_str());
      std::abort();
    }
    return value_;
  }
  std::optional<T>& Checked() {
    std::as_const(*this).Checked();
    return value_;
  }

  Status status_;
  std::optional<T> value_;
};

}  // namespace base

#endif  // TARNVEX_BASE_STATUS_H_
