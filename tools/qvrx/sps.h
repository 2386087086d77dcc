// The picture size an H.264 sequence parameter set announces (after its
// cropping), so that qvrx can decode pictures without being told their size.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace quorvex::tools {

struct PictureSize {
  int width = 0;
  int height = 0;
  friend bool operator==(PictureSize, PictureSize) = default;
};

// `nal_unit` starts with the NAL header byte (type 7) and may still carry
// emulation prevention bytes. nullopt for anything that is not a complete,
// plausible sequence parameter set.
[[nodiscard]] std::optional<PictureSize> sps_picture_size(std::span<const std::byte> nal_unit);

// The size announced by the first sequence parameter set of an Annex B
// access unit, if it has one.
[[nodiscard]] std::optional<PictureSize> annex_b_picture_size(std::span<const std::byte> annex_b);

}  // namespace quorvex::tools
