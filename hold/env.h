// What the watch takes from the world besides the message service and the
// databases: the clock, its waits, and the faults a test puts in its way, in
// the manner of a storage engine's Env. The program runs on Env's own
// defaults; a test hands the Monitor an Env of its own to make time pass
// faster or to make a step fail the way a locked or broken file would,
// instead of holding real locks and sleeping through real back-offs.
#ifndef TARNVEX_HOLD_ENV_H_
#define TARNVEX_HOLD_ENV_H_

#include <chrono>
#include <string_view>

#include "base/mutex.h"
#include "base/status.h"

namespace hold {

class Env {
 public:
  using Clock = std::chrono::steady_clock;

  // The steps of the watch a fault can be put at.
  enum class Step {
    kWalkHeldFolder,  // the walk of a store's held folder
    kReadRules,       // the worker's read of the rules before a walk
  };

  virtual ~Env() = default;

  virtual Clock::time_point Now() { return Clock::now(); }
  // Waits on `cv` (with `mutex` held) until it is signalled or `deadline`
  // passes; false when the deadline passed first. Spurious wake-ups happen:
  // the caller checks what it waits for.
  virtual bool WaitUntil(base::CondVar* cv, base::Mutex* mutex,
                         Clock::time_point deadline) REQUIRES(mutex) {
    if (deadline == Clock::time_point::max()) {  // no deadline at all
      cv->Wait(mutex);
      return true;
    }
    return cv->WaitUntil(mutex, deadline);
  }
  virtual void SleepFor(std::chrono::milliseconds pause);
  // Ok, or the failure the step meets (as a locked or broken file gives it).
  virtual base::Status Fault(Step step, std::string_view store) {
    (void)step;
    (void)store;
    return base::Status::Ok();
  }
};

}  // namespace hold

#endif  // TARNVEX_HOLD_ENV_H_
