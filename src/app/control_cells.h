// The cells through which a running capture is steered from other threads:
// the control reader's key-frame request, window content size and pause
// flag; the stop request of a signal or console event; and the way back out,
// the reason the session ended.
//
// Thread contract: each cell is shared by reference counting and touched only
// by single atomic loads and stores (the encoder exchanges keyframe_request).
// No lock guards them and no ordering between them is relied upon, but for
// the stop reason (below). The bell is the other exception: its own mutex
// keeps a listener from going while it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace quorvex::app {

using KeyframeRequestCell = std::shared_ptr<std::atomic<bool>>;
// Content width in the high 32 bits, height in the low 32 bits, so that one
// atomic store always publishes a matching pair.
using ContentSizeCell = std::shared_ptr<std::atomic<std::uint64_t>>;
using PausedCell = std::shared_ptr<std::atomic<bool>>;
// Set when the process is asked to stop: the session ends as at its duration.
using StopRequestCell = std::shared_ptr<std::atomic<bool>>;
// The rates the parent asked for (BITRATE, FPS) and the encoder has not yet
// taken: 0 while none waits. The encoder exchanges each with 0, so of two
// requests before it looks the newer one is applied.
struct RateRequests {
  std::atomic<std::uint32_t> bitrate{0};  // bits per second
  std::atomic<std::uint32_t> fps{0};      // frames per second
};
using RateRequestCell = std::shared_ptr<RateRequests>;
// Any flag cell, where the role does not matter.
using FlagCell = std::shared_ptr<std::atomic<bool>>;

// Rung by the control reader after a request the pipeline must answer even
// when no frame comes (KEYFRAME, RESUME on a still screen; BITRATE and FPS,
// which the encoder takes at once): whoever attached
// a listener looks at the cells at once instead of at the next frame. The
// listener runs on the ringing thread and must not block for long.
class ControlBell {
 public:
  void attach(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
  }
  // After it returns, the listener is not running and will not run again.
  void detach() { attach(nullptr); }
  void ring() {
    std::lock_guard lock(mutex_);
    if (listener_) {
      listener_();
    }
  }

 private:
  std::mutex mutex_;
  std::function<void()> listener_;
};
using ControlBellCell = std::shared_ptr<ControlBell>;

// Why a session ended. The capture handler records how a session that
// returns normally came to its end; Error is the end of a failed one.
enum class SessionEnd : std::uint8_t { Duration, Signal, ItemClosed, Error, Stop, InputClosed, ParentExited };
using SessionEndCell = std::shared_ptr<std::atomic<SessionEnd>>;

// Who asked for the stop: stored before the stop request, so the session
// ends with that reason (Signal when nothing else was stored). The one
// ordering the cells rely on: a release store of the request after the
// reason, and an acquire load of the request before it.
using StopReasonCell = std::shared_ptr<std::atomic<SessionEnd>>;

// A stop request that is not a signal: the reason, then the request.
inline void request_stop(const StopReasonCell& reason, const StopRequestCell& stop, SessionEnd why) {
  reason->store(why, std::memory_order_relaxed);
  stop->store(true, std::memory_order_release);
}

[[nodiscard]] constexpr std::uint64_t pack_content_size(std::uint32_t width, std::uint32_t height) {
  return (std::uint64_t{width} << 32) | height;
}

[[nodiscard]] constexpr std::uint32_t content_width(std::uint64_t packed) {
  return static_cast<std::uint32_t>(packed >> 32);
}

[[nodiscard]] constexpr std::uint32_t content_height(std::uint64_t packed) {
  return static_cast<std::uint32_t>(packed & 0xFFFF'FFFFu);
}

}  // namespace quorvex::app
