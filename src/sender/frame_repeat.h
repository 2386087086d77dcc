// When the last encoded picture must go into the encoder once more although
// no new frame came. A still screen may deliver no frame at all (Windows 11
// 24H2 and later send none while nothing changes), yet a keyframe that was
// asked for must come: when none has gone in within one frame interval of
// the request, the last frame is repeated as that keyframe. Pure logic on
// the caller's clock; the caller keeps the frame and submits it.
//
// A session may also ask for an idle refresh: when nothing has gone into the
// encoder for a set time, the last frame goes in again (not as a keyframe),
// so a still picture converges to the encoder's full quality and a receiver
// that lost packets recovers without asking. At most once per that time: the
// repeat itself is the next thing that went in.
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
    // Nothing went into the encoder for the idle-refresh time.
    IdleRefresh,
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

  // A frame (new or repeated) went into the encoder at `now`.
  void frame_submitted(TimePoint now) { submitted_at = now; }

  // When the last frame should go in again, possibly already past; none when
  // nothing asks for it or it cannot go now (the next change of the
  // situation is an event the caller re-evaluates on).
  // The earlier of the two when both ask; the keyframe on a tie, since it
  // answers the refresh as well.
  [[nodiscard]] std::optional<Due> due(const Situation& now) const {
    if (!now.last_frame_kept || now.frame_waiting || now.frames_in_encoder > 0 || now.paused) {
      return std::nullopt;
    }
    std::optional<Due> earliest;
    if (keyframe_since) {
      earliest = Due{*keyframe_since + frame_interval, Reason::Keyframe};
    }
    if (idle_refresh && submitted_at) {
      const TimePoint refresh_at = *submitted_at + *idle_refresh;
      if (!earliest || refresh_at < earliest->at) {
        earliest = Due{refresh_at, Reason::IdleRefresh};
      }
    }
    return earliest;
  }

  Duration frame_interval;
  // The session's idle-refresh time; none when it asks for no refresh.
  std::optional<Duration> idle_refresh;
  // When the pending keyframe request was first seen.
  std::optional<TimePoint> keyframe_since;
  // When the last frame went into the encoder.
  std::optional<TimePoint> submitted_at;
};

}  // namespace quorvex::sender
