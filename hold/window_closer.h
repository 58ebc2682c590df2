// The compose windows are closed on a thread of their own, after the hold: a
// window whose owner does not answer delays neither the move nor the checks
// of other messages. The thread is started by the first request and ended by
// Stop, after the requests made before the stop are done.
#ifndef TARNVEX_HOLD_WINDOW_CLOSER_H_
#define TARNVEX_HOLD_WINDOW_CLOSER_H_

#include <thread>

#include "base/mutex.h"

namespace hold {

// The compose windows the closer closes, tried in this order.
inline constexpr char16_t kComposeTitleSms[] = u"SMS";
inline constexpr char16_t kComposeTitleMms[] = u"MMS";

class WindowCloser {
 public:
  WindowCloser() = default;
  ~WindowCloser() { Stop(); }
  WindowCloser(const WindowCloser&) = delete;
  WindowCloser& operator=(const WindowCloser&) = delete;

  // Asks for the messaging application's compose window to be closed.
  void RequestClose() EXCLUDES(lock_);
  // Ends the thread once it has done what was asked before.
  void Stop() EXCLUDES(lock_);

 private:
  void Loop() EXCLUDES(lock_);

  base::Mutex lock_;
  base::CondVar wake_;
  std::thread thread_ GUARDED_BY(lock_);
  int requests_ GUARDED_BY(lock_) = 0;
  bool stop_ GUARDED_BY(lock_) = false;
};

}  // namespace hold

#endif  // TARNVEX_HOLD_WINDOW_CLOSER_H_
