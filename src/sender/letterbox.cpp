#include "sender/letterbox.h"

namespace quorvex::sender {

FrameRect letterbox_rect(std::uint32_t source_width, std::uint32_t source_height,
                         std::uint32_t target_width, std::uint32_t target_height) {
  if (source_width == 0 || source_height == 0 || target_width == 0 || target_height == 0) {
    return {0, 0, target_width, target_height};
  }
  // Products of two 32-bit values fit in 64 bits; the quotients fit back in 32
  // because each is bounded by a target dimension.
  const std::uint64_t sw = source_width, sh = source_height, tw = target_width, th = target_height;
  std::uint32_t fitted_width = target_width;
  std::uint32_t fitted_height = target_height;
  if (sw * th > tw * sh) {
    fitted_height = static_cast<std::uint32_t>(tw * sh / sw);
  } else {
    fitted_width = static_cast<std::uint32_t>(th * sw / sh);
  }
  const std::uint32_t left = (target_width - fitted_width) / 2;
  const std::uint32_t top = (target_height - fitted_height) / 2;
  return {left, top, left + fitted_width, top + fitted_height};
}

}  // namespace quorvex::sender
