// The configuration of one capture session, parsed from the command line.
// It never changes during a session except through the three shared control
// cells, which the control reader writes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quorvex::app {

// Reference-counted atomic cells shared with the control reader, the capture
// handler and (keyframe_request) the hardware encoder. Accessed only by
// single atomic loads and stores, plus the encoder's exchange of
// keyframe_request.
using FlagCell = std::shared_ptr<std::atomic<bool>>;
// Content width in the high 32 bits, content height in the low 32 bits.
using ContentSizeCell = std::shared_ptr<std::atomic<std::uint64_t>>;

[[nodiscard]] inline std::uint64_t pack_content_size(std::uint32_t width, std::uint32_t height) {
  return (static_cast<std::uint64_t>(width) << 32) | height;
}

struct Config {
  std::uint32_t width = 1920;
  std::uint32_t height = 1080;
  std::uint32_t fps = 30;
  std::uint32_t bitrate = 8'000'000;
  std::chrono::nanoseconds duration = std::chrono::seconds(60);
  std::optional<std::uint64_t> display_id;
  std::optional<std::string> window_title;
  std::optional<std::uint64_t> window_id;
  FlagCell keyframe_request = std::make_shared<std::atomic<bool>>(false);
  ContentSizeCell content_size = std::make_shared<std::atomic<std::uint64_t>>(0);
  FlagCell paused = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace quorvex::app
