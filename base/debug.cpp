// The debug-output channel: stderr when TARNVEX_DEBUG is set, nothing
// otherwise.
#include "base/debug.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace base {
namespace {

int InitialState() {
  const char* v = std::getenv("TARNVEX_DEBUG");
  return (v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0) ? 1 : 0;
}

std::atomic<int>& State() {
  static std::atomic<int> state{InitialState()};
  return state;
}

}  // namespace

void SetDebugOutput(bool on) { State().store(on ? 1 : 0); }

bool DebugOutputEnabled() { return State().load() != 0; }

void DebugOut(const char* format, ...) {
  if (!DebugOutputEnabled()) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

void DebugCaught(const char* where) {
  if (!DebugOutputEnabled()) return;
  const char* what = "no exception";
  std::exception_ptr caught = std::current_exception();
  if (caught != nullptr) {
    try {
      std::rethrow_exception(caught);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      what = "an unknown exception";
    }
  }
  DebugOut("%s: %s\n", where != nullptr ? where : "?", what);
}

}  // namespace base
