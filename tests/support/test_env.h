// The watch's environment for tests: time that runs `scale` times faster than
// the real clock (a one-second back-off takes a fiftieth of a second at 50),
// and faults switched on and off at each step, each met counted.
#ifndef TARNVEX_TESTS_SUPPORT_TEST_ENV_H_
#define TARNVEX_TESTS_SUPPORT_TEST_ENV_H_

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>

#include "hold/env.h"

namespace testing_support {

class TestEnv : public hold::Env {
 public:
  explicit TestEnv(int scale = 1)
      : scale_(scale < 1 ? 1 : scale), start_(Clock::now()) {}

  Clock::time_point Now() override {
    return start_ + (Clock::now() - start_) * scale_;
  }
  bool WaitUntil(base::CondVar* cv, base::Mutex* mutex,
                 Clock::time_point deadline) override REQUIRES(mutex) {
    if (deadline == Clock::time_point::max())
      return Env::WaitUntil(cv, mutex, deadline);
    return cv->WaitUntil(mutex, Real(deadline));
  }
  void SleepFor(std::chrono::milliseconds pause) override {
    Env::SleepFor(
        std::chrono::duration_cast<std::chrono::milliseconds>(pause / scale_));
  }
  base::Status Fault(Step step, std::string_view store) override {
    std::atomic<bool>& on = step == Step::kWalkHeldFolder ? walk_ : rules_;
    if (!on.load()) return base::Status::Ok();
    ++met_[step == Step::kWalkHeldFolder ? 0 : 1];
    return base::Status::Busy(std::string(store) + ": a fault of the test");
  }

  void SetFault(Step step, bool on) {
    (step == Step::kWalkHeldFolder ? walk_ : rules_).store(on);
  }
  int FaultsMet(Step step) const {
    return met_[step == Step::kWalkHeldFolder ? 0 : 1].load();
  }

 private:
  Clock::time_point Real(Clock::time_point at) const {
    return start_ + (at - start_) / scale_;
  }

  const int scale_;
  const Clock::time_point start_;
  std::atomic<bool> walk_{false};
  std::atomic<bool> rules_{false};
  std::atomic<int> met_[2] = {0, 0};
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_SUPPORT_TEST_ENV_H_
