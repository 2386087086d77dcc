// Lock contracts the compiler checks: clang's thread-safety analysis reads
// these attributes (the host-clang preset builds with -Wthread-safety and
// warnings as errors); other compilers see nothing.
//
// GCC's std::mutex carries no attributes, so a field guarded by a mutex uses
// Mutex and MutexLock below: std::mutex and std::unique_lock with the
// attributes the analysis needs. A lambda that runs under the lock (a
// condition-variable predicate) says so with QVX_REQUIRES, as functions do.
//
// Threads: Mutex and MutexLock have std::mutex's and std::unique_lock's
// contracts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#if defined(__clang__)
#define QVX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QVX_THREAD_ANNOTATION(x)
#endif

#define QVX_CAPABILITY(name) QVX_THREAD_ANNOTATION(capability(name))
#define QVX_SCOPED_CAPABILITY QVX_THREAD_ANNOTATION(scoped_lockable)
#define QVX_GUARDED_BY(mutex) QVX_THREAD_ANNOTATION(guarded_by(mutex))
#define QVX_PT_GUARDED_BY(mutex) QVX_THREAD_ANNOTATION(pt_guarded_by(mutex))
#define QVX_REQUIRES(...) QVX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QVX_EXCLUDES(...) QVX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QVX_ACQUIRE(...) QVX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QVX_RELEASE(...) QVX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QVX_TRY_ACQUIRE(...) QVX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QVX_NO_THREAD_SAFETY_ANALYSIS QVX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace quorvex {

class QVX_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() QVX_ACQUIRE() { mutex_.lock(); }
  void unlock() QVX_RELEASE() { mutex_.unlock(); }
  [[nodiscard]] bool try_lock() QVX_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex from construction to destruction, or between unlock() and
// lock() calls in between; waits on a std::condition_variable. The analysis
// takes the mutex as held across a wait, which releases and retakes it.
class QVX_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) QVX_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() QVX_RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() QVX_ACQUIRE() { lock_.lock(); }
  void unlock() QVX_RELEASE() { lock_.unlock(); }

  void wait(std::condition_variable& condition) { condition.wait(lock_); }
  template <class Predicate>
  void wait(std::condition_variable& condition, Predicate done) {
    condition.wait(lock_, std::move(done));
  }
  template <class Clock, class Duration>
  std::cv_status wait_until(std::condition_variable& condition,
                            const std::chrono::time_point<Clock, Duration>& deadline) {
    return condition.wait_until(lock_, deadline);
  }
  template <class Clock, class Duration, class Predicate>
  bool wait_until(std::condition_variable& condition, const std::chrono::time_point<Clock, Duration>& deadline,
                  Predicate done) {
    return condition.wait_until(lock_, deadline, std::move(done));
  }
  template <class Rep, class Period, class Predicate>
  bool wait_for(std::condition_variable& condition, const std::chrono::duration<Rep, Period>& timeout,
                Predicate done) {
    return condition.wait_for(lock_, timeout, std::move(done));
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace quorvex
