// Page-size arithmetic for buffers the program sizes by pages. Part of the
// small base library (with the debug output) that text/ links alone.
#ifndef TARNVEX_DEVICE_MEMORY_H_
#define TARNVEX_DEVICE_MEMORY_H_

#include <cstddef>

namespace device {

// The system's page size, read once.
size_t SystemPageSize();
// Rounds n up to the smallest whole multiple of the page size that exceeds n
// (so there is always room for a terminator).
size_t PageRoundAbove(size_t n);

}  // namespace device

#endif  // TARNVEX_DEVICE_MEMORY_H_
