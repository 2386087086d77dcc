// The rule by which the frame mailbox spaces its submissions to the encoder,
// chosen on the command line and fixed for a session.
#pragma once

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

}  // namespace quorvex::sender
