#include "qvrx/timeline.h"

#include <algorithm>
#include <cmath>

namespace quorvex::tools {
namespace {

// Time bases in use have parts far below this; the bound keeps the
// arithmetic of a hostile one (a 1/INT64_MAX tick) from overflowing.
constexpr std::int64_t max_tick_part = 1'000'000'000;

}  // namespace

std::uint64_t typical_interval_ns(std::span<const std::uint64_t> intervals_ns) {
  if (intervals_ns.empty()) {
    return 0;
  }
  std::vector<std::uint64_t> sorted(intervals_ns.begin(), intervals_ns.end());
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>((sorted.size() - 1) / 2);
  std::nth_element(sorted.begin(), middle, sorted.end());
  return *middle;
}

PacketClock::PacketClock(std::int64_t tick_numerator, std::int64_t tick_denominator)
    : numerator_(std::clamp<std::int64_t>(tick_numerator, 1, max_tick_part)),
      denominator_(std::clamp<std::int64_t>(tick_denominator, numerator_,
                                            std::min(numerator_ * static_cast<std::int64_t>(nanoseconds_per_second),
                                                     max_tick_part))) {}

std::int64_t PacketClock::ticks(std::uint64_t offset_ns) const {
  // offset * denominator / (numerator * 1e9), rounded to the nearest tick:
  // the whole ticks of complete divisors exactly, the rest (less than
  // `denominator` ticks) in double precision, so long streams and odd time
  // bases (1001/30000) neither overflow nor drift.
  const auto divisor = static_cast<std::uint64_t>(numerator_) * nanoseconds_per_second;
  // At most 2^64 / 10^9 divisors of at most 10^9 ticks each: fits unsigned.
  const auto whole = static_cast<std::int64_t>(offset_ns / divisor * static_cast<std::uint64_t>(denominator_));
  const double rest = static_cast<double>(offset_ns % divisor) * static_cast<double>(denominator_) /
                      static_cast<double>(divisor);
  return whole + std::llround(rest);
}

std::int64_t PacketClock::place(std::uint64_t timestamp_ns) {
  if (!started_) {
    started_ = true;
    first_ns_ = timestamp_ns;
    previous_ns_ = timestamp_ns;
    previous_tick_ = 0;
    return 0;
  }
  const std::uint64_t at_ns = std::max(timestamp_ns, previous_ns_);
  intervals_ns_.push_back(at_ns - previous_ns_);
  std::int64_t tick = ticks(at_ns - first_ns_);
  if (timestamp_ns < previous_ns_ || tick <= previous_tick_) {
    tick = std::max(tick, previous_tick_ + 1);
    ++moved_records_;
  }
  previous_ns_ = at_ns;
  previous_tick_ = tick;
  return tick;
}

std::int64_t PacketClock::last_duration() const {
  return std::max<std::int64_t>(ticks(typical_interval_ns(intervals_ns_)), 1);
}

}  // namespace quorvex::tools
