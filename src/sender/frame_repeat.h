// When the last encoded picture must go into the encoder once more although
// no new frame came. A still screen may deliver no frame at all (Windows 11
// 24H2 and later send none while nothing changes), yet a keyframe that was
// asked for must come: when none has gone in within one frame interval of
// the request, the last frame is repeated as that keyframe. Pure logic on
// the caller's clock; the caller keeps the frame and submits it.
//
// Other reasons to repeat (a refresh after a quiet period) fit in due() as
// further instants beside the keyframe's, each with its Reason.
//
// Threads: no lock of its own; it lives in the encoder state and is touched
// only under that state's mutex.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace quorvex::sender {

template <class Clock = std::chrono::steady_clock>
class FrameRepeat {
 public:
  using TimePoint = typename Clock::time_point;
  using Duration = typename Clock::duration;

  enum class Reason {
    // A keyframe was asked for and no frame went in to carry it.
    Keyframe,
  };
  struct Due {
    TimePoint at;
    Reason reason;
  };

  // What the pipeline holds when the repeat is considered.
  struct Situation {
    // The last frame that came out of the encoder is kept.
    bool last_frame_kept = false;
    // A frame waits for submission: it carries the request itself.
    bool frame_waiting = false;
    // Frames inside the encoder are newer than the kept one; a repeat sent
    // before they come out would step the picture back.
    std::size_t frames_in_encoder = 0;
    // A paused session sends nothing.
    bool paused = false;
  };

  explicit FrameRepeat(Duration interval) : frame_interval(interval) {}

  // The keyframe request was seen set at `now`; the first sighting counts
  // until a keyframe is forced.
  void keyframe_requested(TimePoint now) {
    if (!keyframe_since) {
      keyframe_since = now;
    }
  }

  // A keyframe was forced on a frame going in: the request is answered.
  void keyframe_forced() { keyframe_since.reset(); }

  // When the last frame should go in again, possibly already past; none when
  // nothing asks for it or it cannot go now (the next change of the
  // situation is an event the caller re-evaluates on).
  [[nodiscard]] std::optional<Due> due(const Situation& now) const {
    if (!keyframe_since || !now.last_frame_kept || now.frame_waiting || now.frames_in_encoder > 0 || now.paused) {
      return std::nullopt;
    }
    return Due{*keyframe_since + frame_interval, Reason::Keyframe};
  }

  Duration frame_interval;
  // When the pending keyframe request was first seen.
  std::optional<TimePoint> keyframe_since;
};

}  // namespace quorvex::sender
