// The three cells through which the control reader steers a running capture:
// a key-frame request, the window's content size and the pause flag.
//
// Thread contract: each cell is shared by reference counting and touched only
// by single atomic loads and stores (the encoder exchanges keyframe_request).
// No lock guards them and no ordering between them is relied upon.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace quorvex::app {

using KeyframeRequestCell = std::shared_ptr<std::atomic<bool>>;
// Content width in the high 32 bits, height in the low 32 bits, so that one
// atomic store always publishes a matching pair.
using ContentSizeCell = std::shared_ptr<std::atomic<std::uint64_t>>;
using PausedCell = std::shared_ptr<std::atomic<bool>>;
// Either flag cell, where the role does not matter.
using FlagCell = std::shared_ptr<std::atomic<bool>>;

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
