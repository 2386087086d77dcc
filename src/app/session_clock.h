// The monotonic clock that a session's limits are measured on (its duration,
// the title-marker search), with a wait on it. The program runs on the steady
// clock and really sleeps; tests step a ManualClock, so a limit of seconds
// takes no time and a slow machine cannot make a test race it.
//
// Thread contract: steady_session_clock() may be used from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace quorvex::app {

class SessionClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~SessionClock() = default;
  [[nodiscard]] virtual time_point now() = 0;
  virtual void sleep_for(std::chrono::nanoseconds duration) = 0;
};

// std::chrono::steady_clock and std::this_thread::sleep_for.
inline SessionClock& steady_session_clock() {
  class Steady final : public SessionClock {
   public:
    time_point now() override { return std::chrono::steady_clock::now(); }
    void sleep_for(std::chrono::nanoseconds duration) override { std::this_thread::sleep_for(duration); }
  };
  static Steady clock;
  return clock;
}

}  // namespace quorvex::app
