// Page-size arithmetic for buffers sized by pages.
#include "device/memory.h"

#include <unistd.h>

namespace device {

size_t SystemPageSize() {
  static const size_t size = [] {
    long v = sysconf(_SC_PAGESIZE);
    return v > 0 ? static_cast<size_t>(v) : static_cast<size_t>(4096);
  }();
  return size;
}

size_t PageRoundAbove(size_t n) {
  size_t page = SystemPageSize();
  return (n / page + 1) * page;
}

}  // namespace device
