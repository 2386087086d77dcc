// A session clock for tests: a limit of seconds takes no time, and a slow
// machine cannot make a test race it.
//
// Thread contract: it may be read from any thread; it is set, advanced and
// slept on by one thread at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

#include "app/session_clock.h"

namespace quorvex::app {

// Starts at the steady clock's epoch and moves only when advanced or slept
// on: a sleep moves it by the time asked for and then runs `after_sleep`, so
// a test can change the world at a chosen instant of the clock.
class ManualClock final : public SessionClock {
 public:
  time_point now() override { return time_point(std::chrono::nanoseconds(elapsed_ns_.load())); }
  void sleep_for(std::chrono::nanoseconds duration) override {
    ++sleeps_;
    advance(duration);
    if (after_sleep) {
      after_sleep(now());
    }
  }

  void advance(std::chrono::nanoseconds duration) { elapsed_ns_ += duration.count(); }
  [[nodiscard]] std::chrono::nanoseconds elapsed() const { return std::chrono::nanoseconds(elapsed_ns_.load()); }
  [[nodiscard]] int sleeps() const { return sleeps_.load(); }

  std::function<void(time_point)> after_sleep;

 private:
  std::atomic<std::chrono::nanoseconds::rep> elapsed_ns_{0};
  std::atomic<int> sleeps_{0};
};

}  // namespace quorvex::app
