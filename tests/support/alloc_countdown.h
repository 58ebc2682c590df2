// A memory-failure countdown for tests, as SQLite's own malloc tests make
// one: while an AllocCountdown lives, the n-th allocation of its thread
// through operator new throws std::bad_alloc, so a test can fail a unit at
// every allocation it makes in turn and check that it fails cleanly each
// time.
//
// It replaces the program's global operator new and delete (with malloc and
// free): include it in exactly one file of a test program, and only in test
// programs that want it. Other threads, and this one while no countdown
// lives, allocate as usual.
#ifndef TARNVEX_TESTS_SUPPORT_ALLOC_COUNTDOWN_H_
#define TARNVEX_TESTS_SUPPORT_ALLOC_COUNTDOWN_H_

#include <cstdlib>
#include <new>

namespace testing_support {
namespace alloc_countdown {

inline thread_local long t_fail_at = 0;  // 0: no countdown
inline thread_local long t_made = 0;
inline thread_local bool t_failed = false;

inline void* Allocate(std::size_t size, bool may_throw) {
  if (t_fail_at != 0 && ++t_made == t_fail_at) {
    t_failed = true;
    if (may_throw) throw std::bad_alloc();
    return nullptr;
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr && may_throw) throw std::bad_alloc();
  return p;
}

}  // namespace alloc_countdown

class AllocCountdown {
 public:
  // The n-th allocation from now (1: the next) fails; the others do not.
  explicit AllocCountdown(long n) {
    alloc_countdown::t_fail_at = n;
    alloc_countdown::t_made = 0;
    alloc_countdown::t_failed = false;
  }
  ~AllocCountdown() { alloc_countdown::t_fail_at = 0; }
  AllocCountdown(const AllocCountdown&) = delete;
  AllocCountdown& operator=(const AllocCountdown&) = delete;

  // Whether the n-th allocation came (and failed).
  bool Failed() const { return alloc_countdown::t_failed; }
};

}  // namespace testing_support

void* operator new(std::size_t size) {
  return testing_support::alloc_countdown::Allocate(size, true);
}
void* operator new[](std::size_t size) {
  return testing_support::alloc_countdown::Allocate(size, true);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return testing_support::alloc_countdown::Allocate(size, false);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return testing_support::alloc_countdown::Allocate(size, false);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

#endif  // TARNVEX_TESTS_SUPPORT_ALLOC_COUNTDOWN_H_
