// A value behind a mutex that remembers a holder which ended abnormally: a
// guard destroyed while an exception unwinds past it marks the mutex
// poisoned, because the value may have been left half changed. Later holders
// see the mark and decide what to do (lock_encoder_state refuses).
//
// It also keeps, without a lock, since when the current holder has held it:
// a watchdog that cannot take the mutex (try_lock) learns from held_since()
// whether a holder is stuck inside a call that does not return (a hung
// driver), without waiting behind it.
//
// Thread contract: lock(), try_lock() and held_since() from any thread; the
// guard is used by the thread that took it. The value is touched only
// through a guard.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace quorvex::app {

template <class T>
class PoisonableMutex {
 public:
  using Clock = std::chrono::steady_clock;

  template <class... Args>
  explicit PoisonableMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}
  PoisonableMutex(const PoisonableMutex&) = delete;
  PoisonableMutex& operator=(const PoisonableMutex&) = delete;

  class Guard {
   public:
    Guard(Guard&& other) noexcept
        : owner_(other.owner_), lock_(std::move(other.lock_)), exceptions_at_lock_(other.exceptions_at_lock_) {}
    Guard& operator=(Guard&&) = delete;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (lock_.owns_lock()) {
        if (std::uncaught_exceptions() > exceptions_at_lock_) {
          owner_->poisoned_ = true;
        }
        owner_->mark_released();
      }
    }

    [[nodiscard]] T& operator*() const { return owner_->value_; }
    [[nodiscard]] T* operator->() const { return &owner_->value_; }
    [[nodiscard]] bool poisoned() const { return owner_->poisoned_; }

    // Condition-variable waits: the mutex is free while waiting, so the
    // holding clock stops and restarts when the guard holds it again.
    void wait(std::condition_variable& condition) {
      owner_->mark_released();
      condition.wait(lock_);
      owner_->mark_held();
    }
    void wait_until(std::condition_variable& condition, Clock::time_point deadline) {
      owner_->mark_released();
      condition.wait_until(lock_, deadline);
      owner_->mark_held();
    }
    // Lets go early; the guard then does nothing more.
    void unlock() {
      owner_->mark_released();
      lock_.unlock();
    }

   private:
    friend class PoisonableMutex;
    Guard(PoisonableMutex& owner, std::unique_lock<std::mutex> lock)
        : owner_(&owner), lock_(std::move(lock)), exceptions_at_lock_(std::uncaught_exceptions()) {
      if (lock_.owns_lock()) {
        owner_->mark_held();
      }
    }

    PoisonableMutex* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_lock_;
  };

  // Waits for the mutex; the guard tells whether it is poisoned.
  [[nodiscard]] Guard lock() { return Guard(*this, std::unique_lock(mutex_)); }
  // The guard when the mutex is free at once, nothing when it is held.
  [[nodiscard]] std::optional<Guard> try_lock() {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      return std::nullopt;
    }
    return Guard(*this, std::move(lock));
  }
  // When the current holder took the mutex; nothing while it is free. Read
  // without the mutex, so it may be a moment out of date either way.
  [[nodiscard]] std::optional<Clock::time_point> held_since() const {
    const Clock::rep since = held_since_.load(std::memory_order_acquire);
    if (since == free) {
      return std::nullopt;
    }
    return Clock::time_point(Clock::duration(since));
  }

 private:
  static constexpr Clock::rep free = 0;

  void mark_held() {
    // A clock reading of exactly 0 would read as free; one tick later is
    // the same moment for every purpose.
    const Clock::rep now = Clock::now().time_since_epoch().count();
    held_since_.store(now == free ? 1 : now, std::memory_order_release);
  }
  void mark_released() { held_since_.store(free, std::memory_order_release); }

  // poisoned_ and value_ are reached only through a Guard, which holds
  // mutex_: the types say what an attribute would (a guard is returned by
  // value, which the thread-safety analysis cannot follow).
  std::mutex mutex_;
  bool poisoned_ = false;
  std::atomic<Clock::rep> held_since_{free};
  T value_;
};

}  // namespace quorvex::app
