// Thread priorities as nice values, and pauses.
#include "device/threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace device {
namespace {

int NiceFor(ThreadPriority p) {
  switch (p) {
    case ThreadPriority::kHighest:
      return -10;
    case ThreadPriority::kAboveNormal:
      return -5;
    case ThreadPriority::kNormal:
      return 0;
    case ThreadPriority::kBelowNormal:
      return 5;
  }
  return 0;
}

}  // namespace

void SetCurrentThreadPriority(ThreadPriority priority) {
  // On Linux a nice value set with the thread id applies to that thread only.
  pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (setpriority(PRIO_PROCESS, tid, NiceFor(priority)) != 0) {
    // Raising needs privileges; lowering back may too. Either way the thread
    // keeps running at whatever it has.
  }
}

int CurrentThreadNice() {
  pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  errno = 0;
  int v = getpriority(PRIO_PROCESS, tid);
  return errno == 0 ? v : 0;
}

void SleepMs(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace device
