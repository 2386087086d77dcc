// A value behind a mutex that remembers a holder which ended abnormally: a
// guard destroyed while an exception unwinds past it marks the mutex
// poisoned, because the value may have been left half changed. Later holders
// see the mark and decide what to do (lock_encoder_state refuses).
//
// Thread contract: lock() from any thread; the guard is used by the thread
// that took it. The value is touched only through a guard.
#pragma once

#include <exception>
#include <mutex>
#include <utility>

namespace quorvex::app {

template <class T>
class PoisonableMutex {
 public:
  template <class... Args>
  explicit PoisonableMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}
  PoisonableMutex(const PoisonableMutex&) = delete;
  PoisonableMutex& operator=(const PoisonableMutex&) = delete;

  class Guard {
   public:
    Guard(Guard&&) noexcept = default;
    Guard& operator=(Guard&&) = delete;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_at_lock_) {
        owner_->poisoned_ = true;
      }
    }

    [[nodiscard]] T& operator*() const { return owner_->value_; }
    [[nodiscard]] T* operator->() const { return &owner_->value_; }
    [[nodiscard]] bool poisoned() const { return owner_->poisoned_; }
    // For condition-variable waits; the guard owns the lock again afterwards.
    [[nodiscard]] std::unique_lock<std::mutex>& unique_lock() { return lock_; }

   private:
    friend class PoisonableMutex;
    explicit Guard(PoisonableMutex& owner)
        : owner_(&owner), lock_(owner.mutex_), exceptions_at_lock_(std::uncaught_exceptions()) {}

    PoisonableMutex* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_lock_;
  };

  // Waits for the mutex; the guard tells whether it is poisoned.
  [[nodiscard]] Guard lock() { return Guard(*this); }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T value_;                // guarded by mutex_
};

}  // namespace quorvex::app
