// A capture handler for tests: records what it is given and follows a small
// script (stop or fail at the Nth frame, fail on close, fail to be created).
//
// Thread contract: the Journal is shared with the test thread; its counters
// are atomics or guarded by its mutex.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "wgc_capture/capture.h"

namespace quorvex::testing {

struct DeliveredFrame {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int64_t timestamp_100ns = 0;
  bool has_texture = false;
  friend bool operator==(const DeliveredFrame&, const DeliveredFrame&) = default;
};

struct Journal {
  std::mutex mutex;
  std::vector<DeliveredFrame> frames;  // guarded by mutex
  std::atomic<int> frame_count{0};
  std::atomic<int> created{0};
  std::atomic<int> closed{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> timer_ticks{0};
  std::atomic<int> devices_removed{0};

  std::vector<DeliveredFrame> delivered() {
    std::lock_guard lock(mutex);
    return frames;
  }
};

struct RecordingFlags {
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  int stop_at_frame = 0;  // 1-based; 0 never
  int fail_at_frame = 0;
  std::string frame_error = "frame failed";
  std::optional<std::string> close_error;
  std::optional<std::string> create_error;
  int stop_at_tick = 0;  // 1-based timer tick; 0 never
  int fail_at_tick = 0;
};

class RecordingHandler final : public wgc_capture::GraphicsCaptureApiHandler {
 public:
  using Flags = RecordingFlags;

  static std::expected<std::unique_ptr<RecordingHandler>, wgc_capture::HandlerError> create(
      wgc_capture::HandlerContext<RecordingFlags> context) {
    if (context.flags.create_error) {
      return std::unexpected(wgc_capture::HandlerError{*context.flags.create_error});
    }
    ++context.flags.journal->created;
    return std::make_unique<RecordingHandler>(std::move(context.flags));
  }

  explicit RecordingHandler(RecordingFlags flags) : flags_(std::move(flags)) {}
  ~RecordingHandler() override { ++flags_.journal->destroyed; }

  wgc_capture::HandlerResult on_frame_arrived(wgc_capture::Frame& frame,
                                              wgc_capture::CaptureControl& control) override {
    int n = 0;
    {
      std::lock_guard lock(flags_.journal->mutex);
      flags_.journal->frames.push_back({frame.width, frame.height, frame.timestamp_100ns, frame.texture != nullptr});
      n = static_cast<int>(flags_.journal->frames.size());
    }
    ++flags_.journal->frame_count;
    if (n == flags_.fail_at_frame) {
      return std::unexpected(wgc_capture::HandlerError{flags_.frame_error});
    }
    if (n == flags_.stop_at_frame) {
      control.stop();
    }
    return {};
  }

  wgc_capture::HandlerResult on_timer(wgc_capture::CaptureControl& control) override {
    const int n = ++flags_.journal->timer_ticks;
    if (n == flags_.fail_at_tick) {
      return std::unexpected(wgc_capture::HandlerError{"timer failed"});
    }
    if (n == flags_.stop_at_tick) {
      control.stop();
    }
    return {};
  }
  wgc_capture::HandlerResult on_device_removed(wgc_capture::HandlerError error) override {
    ++flags_.journal->devices_removed;
    return std::unexpected(std::move(error));
  }
  wgc_capture::HandlerResult on_closed() override {
    ++flags_.journal->closed;
    if (flags_.close_error) {
      return std::unexpected(wgc_capture::HandlerError{*flags_.close_error});
    }
    return {};
  }

 private:
  RecordingFlags flags_;
};

}  // namespace quorvex::testing
