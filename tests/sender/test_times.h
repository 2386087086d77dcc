// The times the mailbox and repeat tests share: the 30 fps frame interval and
// a start far from the steady clock's epoch.
#pragma once

#include <chrono>

namespace quorvex::sender::test_times {

using TimePoint = std::chrono::steady_clock::time_point;

inline constexpr std::chrono::nanoseconds interval{33'333'333};
inline const TimePoint t0 = TimePoint{} + std::chrono::seconds{1000};

}  // namespace quorvex::sender::test_times
