// A mutex, a reader/writer mutex, their scoped locks and a condition variable
// that Clang's thread-safety analysis understands: state a lock guards is
// marked GUARDED_BY(lock), a function that expects a lock held REQUIRES(lock),
// and the order two locks are taken in ACQUIRED_BEFORE / ACQUIRED_AFTER, so the
// compiler (clang with -Wthread-safety, `make thread-safety`) checks what would
// otherwise live in comments. Other compilers see plain std::mutex and
// std::shared_mutex code.
#ifndef TARNVEX_BASE_MUTEX_H_
#define TARNVEX_BASE_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define TARNVEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARNVEX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TARNVEX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TARNVEX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TARNVEX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TARNVEX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) \
  TARNVEX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) \
  TARNVEX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) \
  TARNVEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TARNVEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TARNVEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) \
  TARNVEX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) \
  TARNVEX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) \
  TARNVEX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) \
  TARNVEX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) TARNVEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TARNVEX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TARNVEX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS \
  TARNVEX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace base {

class CondVar;

// A plain (not recursive) mutex.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis the caller holds the lock (where it cannot see so).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds a Mutex for its scope; Unlock and Lock let it go and take it again
// within the scope (around a call that must not run under the lock).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_->Lock();
  }
  ~MutexLock() RELEASE() {
    if (held_) mutex_->Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    mutex_->Unlock();
    held_ = false;
  }
  void Lock() ACQUIRE() {
    mutex_->Lock();
    held_ = true;
  }

 private:
  Mutex* mutex_;
  bool held_ = true;
};

// A reader/writer mutex: readers hold it together (ReaderMutexLock), a
// writer alone (WriterMutexLock). State it guards is read under either and
// changed only under the writer's lock.
class CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  void ReaderLock() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void ReaderUnlock() RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds a SharedMutex shared for its scope.
class SCOPED_CAPABILITY ReaderMutexLock {
 public:
  explicit ReaderMutexLock(SharedMutex* mutex) ACQUIRE_SHARED(mutex)
      : mutex_(mutex) {
    mutex_->ReaderLock();
  }
  ~ReaderMutexLock() RELEASE() { mutex_->ReaderUnlock(); }
  ReaderMutexLock(const ReaderMutexLock&) = delete;
  ReaderMutexLock& operator=(const ReaderMutexLock&) = delete;

 private:
  SharedMutex* mutex_;
};

// Holds a SharedMutex alone for its scope.
class SCOPED_CAPABILITY WriterMutexLock {
 public:
  explicit WriterMutexLock(SharedMutex* mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_->Lock();
  }
  ~WriterMutexLock() RELEASE() { mutex_->Unlock(); }
  WriterMutexLock(const WriterMutexLock&) = delete;
  WriterMutexLock& operator=(const WriterMutexLock&) = delete;

 private:
  SharedMutex* mutex_;
};

// A condition variable waited on with a Mutex held; the mutex is held again
// when a wait returns.
class CondVar {
 public:
  void Wait(Mutex* mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when `deadline` passed first.
  bool WaitUntil(Mutex* mutex, std::chrono::steady_clock::time_point deadline)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mutex_, std::adopt_lock);
    bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  bool WaitFor(Mutex* mutex, std::chrono::nanoseconds timeout) REQUIRES(mutex) {
    return WaitUntil(mutex, std::chrono::steady_clock::now() + timeout);
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace base

#endif  // TARNVEX_BASE_MUTEX_H_
