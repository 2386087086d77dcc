// How a record stream lies in time for a player and for its statistics:
// record i is shown from its timestamp until the next record's (so a paused
// capture's gap is one long frame, and the stream keeps its real length),
// the last one for the stream's typical frame interval. Timestamps come from
// the wall clock, which can step back; a record is then placed right after
// the one before it instead of before it.
//
// Pure logic; one owner per object, any thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorvex::tools {

inline constexpr std::uint64_t nanoseconds_per_second = 1'000'000'000;

// The lower median of the intervals between records: a pause or a stall is
// one interval among many and does not move it. 0 when there is none.
[[nodiscard]] std::uint64_t typical_interval_ns(std::span<const std::uint64_t> intervals_ns);

// Places records on a container's clock, whose tick is numerator/denominator
// seconds (a time base): the first record at tick 0, each later one at its
// distance from the first rounded to the nearest tick, and at least one tick
// after the record before it.
class PacketClock {
 public:
  // A tick is clamped to between a nanosecond and a second, each part to
  // between 1 and 10^9.
  PacketClock(std::int64_t tick_numerator, std::int64_t tick_denominator);

  // The tick of the next record.
  [[nodiscard]] std::int64_t place(std::uint64_t timestamp_ns);

  // How long the last placed record lasts, in ticks: the typical interval,
  // at least one tick.
  [[nodiscard]] std::int64_t last_duration() const;

  // Records placed later than their own timestamp says, because it was not
  // after the previous record's.
  [[nodiscard]] std::uint64_t moved_records() const { return moved_records_; }

 private:
  [[nodiscard]] std::int64_t ticks(std::uint64_t offset_ns) const;

  std::int64_t numerator_;
  std::int64_t denominator_;
  bool started_ = false;
  std::uint64_t first_ns_ = 0;
  std::uint64_t previous_ns_ = 0;
  std::int64_t previous_tick_ = 0;
  std::uint64_t moved_records_ = 0;
  std::vector<std::uint64_t> intervals_ns_;
};

}  // namespace quorvex::tools
