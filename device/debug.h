// The program's one debug-output channel. Diagnostics such as "MAPIAdd Ok."
// go here; it writes to stderr only when switched on (TARNVEX_DEBUG=1 in the
// environment, or SetDebugOutput(true)), so tests stay quiet by default.
#ifndef TARNVEX_DEVICE_DEBUG_H_
#define TARNVEX_DEVICE_DEBUG_H_

namespace device {

void SetDebugOutput(bool on);
bool DebugOutputEnabled();

// printf-style; a newline is not added.
void DebugOut(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace device

#endif  // TARNVEX_DEVICE_DEBUG_H_
