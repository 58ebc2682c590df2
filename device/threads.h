// Thread priorities and pauses. Priorities are best-effort nice values of the
// calling thread: normal 0, below normal +5, above normal and highest ask for
// -5 and -10, which an unprivileged process is refused; that is ignored.
#ifndef TARNVEX_DEVICE_THREADS_H_
#define TARNVEX_DEVICE_THREADS_H_

namespace device {

enum class ThreadPriority { kHighest, kAboveNormal, kNormal, kBelowNormal };

void SetCurrentThreadPriority(ThreadPriority priority);
// The nice value the calling thread runs at.
int CurrentThreadNice();

void SleepMs(unsigned milliseconds);

}  // namespace device

#endif  // TARNVEX_DEVICE_THREADS_H_
