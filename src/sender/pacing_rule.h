// The rule by which the frame mailbox spaces its submissions to the encoder,
// chosen on the command line and fixed for a session, and the two rules
// themselves as small value types the mailbox holds.
//
// A rule answers two things for the mailbox: the earliest instant the
// waiting frame may go in, given the previous submission, and what a
// submission at a given instant changes. It keeps only its own state, can
// undo the last submission when the encoder refuses that input, and never
// allocates: every operation runs in constant time under the encoder-state
// lock.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

namespace quorvex::sender {

// How the mailbox spaces its submissions.
enum class PacingRule {
  // The next submission may come one interval after the moment the previous
  // one actually ran. A late submission pushes every later one back and
  // nothing pulls them forward, so two submissions are never closer than one
  // interval, but a pacer that wakes late drifts against the source.
  Strict,
  // Intervals are counted on a fixed grid of slots: the next slot is the
  // previous slot plus one interval, however late the previous submission
  // ran. Two submissions are never closer than one interval less the jitter
  // tolerance, and a window of n intervals never holds more than n + 1 of
  // them (fps + 1 in any second).
  Grid,
};

// The clock jitter the grid rule absorbs: 1/8 of the interval, at most 2 ms.
// 2 ms covers a pacer woken on a 1 ms system timer tick (Windows with its
// timer resolution raised: the wait rounded up to the tick, plus one tick)
// and the sub-millisecond arrival jitter of a capture source; more would
// only let a stale frame hold its slot longer.
template <class Duration>
[[nodiscard]] Duration grid_jitter_tolerance(Duration interval) {
  return std::min<Duration>(interval / 8, std::chrono::duration_cast<Duration>(std::chrono::milliseconds(2)));
}

// PacingRule::Strict: one interval after the previous submission, nothing
// else to remember.
template <class Clock = std::chrono::steady_clock>
class StrictRule {
 public:
  using TimePoint = typename Clock::time_point;
  using Duration = typename Clock::duration;

  explicit StrictRule(Duration interval) : interval_(interval) {}

  [[nodiscard]] Duration interval() const { return interval_; }
  void set_interval(Duration interval) { interval_ = interval; }

  // The earliest instant the frame waiting since `waiting_since` may go in.
  [[nodiscard]] TimePoint earliest(TimePoint last_submit, TimePoint /*waiting_since*/) const {
    return last_submit + interval_;
  }
  void frame_arrived(TimePoint /*now*/) {}
  void submitted(TimePoint /*now*/, TimePoint /*waiting_since*/) {}
  void submission_refused() {}

 private:
  Duration interval_;
};

// PacingRule::Grid: the slot the next submission fills, the jitter it
// absorbs around that slot, and how many slots in a row went to a stale
// frame (the sign of a grid off the source's phase).
template <class Clock = std::chrono::steady_clock>
class GridRule {
 public:
  using TimePoint = typename Clock::time_point;
  using Duration = typename Clock::duration;

  explicit GridRule(Duration interval) : interval_(interval), tolerance_(grid_jitter_tolerance(interval)) {}

  [[nodiscard]] Duration interval() const { return interval_; }
  [[nodiscard]] Duration tolerance() const { return tolerance_; }
  // The slots from the next submission on are this far apart.
  void set_interval(Duration interval) {
    interval_ = interval;
    tolerance_ = grid_jitter_tolerance(interval);
  }

  // The earliest instant the frame waiting since `waiting_since` may go in;
  // needs a previous submission.
  [[nodiscard]] TimePoint earliest(TimePoint last_submit, TimePoint waiting_since) const {
    const TimePoint spaced = last_submit + interval_ - tolerance_;
    // A frame that was already waiting well before its slot holds off until
    // the tolerance has passed the slot too: when the source runs faster than
    // the grid (60 Hz captured at 30 fps), the fresher frame due at the slot
    // then takes it, instead of the one a source interval older.
    return std::max(spaced, stale(waiting_since) ? *next_slot_ + tolerance_ : *next_slot_);
  }

  // A frame came into the mailbox at `now`.
  void frame_arrived(TimePoint now) {
    if (stale_fills_ >= stale_fills_off_phase && now < *next_slot_) {
      // Slot after slot went to a stale frame: the grid is off the source's
      // phase, so the next slot moves to one interval after this arrival.
      // Moving a slot later never raises the rate. One stale fill alone is
      // arrival jitter, and moving the grid for it would throw the next
      // frame away.
      stale_fills_ = 0;
      next_slot_ = now + interval_;
    }
  }

  // The frame waiting since `waiting_since` went in at `now`.
  void submitted(TimePoint now, TimePoint waiting_since) {
    before_ = {next_slot_, stale_fills_};
    const TimePoint filled = slot_filled(now, waiting_since);
    stale_fills_ = next_slot_ && filled == *next_slot_ && stale(waiting_since)
                       ? std::min(stale_fills_ + 1, stale_fills_off_phase)
                       : 0;
    next_slot_ = filled + interval_;
  }

  // The encoder refused the last submission: the grid is as before it.
  void submission_refused() {
    next_slot_ = before_.next_slot;
    stale_fills_ = before_.stale_fills;
  }

 private:
  // Two in a row: a phase error persists from slot to slot, jitter does not.
  static constexpr std::uint32_t stale_fills_off_phase = 2;

  [[nodiscard]] bool stale(TimePoint waiting_since) const { return waiting_since + tolerance_ < *next_slot_; }

  // The grid slot a submission at `now` fills: the due one, however late.
  // A grid that has fallen a whole interval behind, or has none yet,
  // restarts rather than catching up: on the waiting frame's arrival when
  // that was recent, so the grid keeps the source's phase, and on `now`
  // otherwise. "A whole interval" less the tolerance: a slot is then never
  // filled more than that late, which keeps any second at fps + 1
  // submissions even where the interval was rounded down to the nanosecond.
  [[nodiscard]] TimePoint slot_filled(TimePoint now, TimePoint waiting_since) const {
    const Duration behind_limit = interval_ - tolerance_;
    if (next_slot_ && now - *next_slot_ < behind_limit) {
      return *next_slot_;
    }
    return now - waiting_since < behind_limit ? waiting_since : now;
  }

  // Set at construction; both change with set_interval.
  Duration interval_;
  Duration tolerance_;
  // The slot the next submission fills; absent until the first.
  std::optional<TimePoint> next_slot_;
  // How many slots in a row went to a stale frame, sent at the end of its
  // hold because nothing fresher came near the slot.
  std::uint32_t stale_fills_ = 0;
  // The grid before the last submission, for its undo.
  struct Before {
    std::optional<TimePoint> next_slot;
    std::uint32_t stale_fills = 0;
  };
  Before before_;
};

}  // namespace quorvex::sender
