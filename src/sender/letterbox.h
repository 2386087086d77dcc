// Where a source picture lands inside the fixed encoder frame.
#pragma once

#include <cstdint>

namespace quorvex::sender {

// A pixel rectangle; right and bottom are exclusive.
struct FrameRect {
  std::uint32_t left = 0;
  std::uint32_t top = 0;
  std::uint32_t right = 0;
  std::uint32_t bottom = 0;

  [[nodiscard]] std::uint32_t width() const { return right - left; }
  [[nodiscard]] std::uint32_t height() const { return bottom - top; }
  friend bool operator==(const FrameRect&, const FrameRect&) = default;
};

// Fits source_width x source_height into the target keeping the aspect ratio
// and centres it; the rest of the target becomes bars. An odd leftover goes to
// the right or bottom bar. Any zero input gives the whole target.
[[nodiscard]] FrameRect letterbox_rect(std::uint32_t source_width, std::uint32_t source_height,
                                       std::uint32_t target_width, std::uint32_t target_height);

}  // namespace quorvex::sender
