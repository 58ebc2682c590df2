// The program's one debug-output channel. Diagnostics such as "records::Add
// Ok." go here; it writes to stderr only when switched on (TARNVEX_DEBUG=1 in
// the environment, or SetDebugOutput(true)), so tests stay quiet by default.
#ifndef TARNVEX_BASE_DEBUG_H_
#define TARNVEX_BASE_DEBUG_H_

namespace base {

void SetDebugOutput(bool on);
bool DebugOutputEnabled();

// printf-style; a newline is not added.
void DebugOut(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For a catch block: writes "<where>: <what the exception said>" (or "an
// unknown exception") to the debug output, so no caught failure goes
// unrecorded. Called outside a catch block it names none.
void DebugCaught(const char* where);

}  // namespace base

#endif  // TARNVEX_BASE_DEBUG_H_
