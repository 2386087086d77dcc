// What an H.264 sequence parameter set announces that the program and qvrx
// care about: the picture size (after cropping), so pictures can be decoded
// without being told their size, and the colour description of its video
// usability information, so the helper can say what a player will read.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quorvex::sender {

struct PictureSize {
  int width = 0;
  int height = 0;
  friend bool operator==(PictureSize, PictureSize) = default;
};

// The VUI's video signal type (Rec. ITU-T H.264 E.2.1). The codes are the
// ones of tables E-3 to E-5; a stream without a colour description leaves
// them out and a player guesses.
struct VideoSignalType {
  bool full_range = false;
  std::optional<std::uint8_t> colour_primaries;
  std::optional<std::uint8_t> transfer_characteristics;
  std::optional<std::uint8_t> matrix_coefficients;
  friend bool operator==(const VideoSignalType&, const VideoSignalType&) = default;
};

struct SequenceParameterSet {
  PictureSize size;
  // Absent when the SPS has no VUI, its VUI no video signal type, or the VUI
  // is cut off before it.
  std::optional<VideoSignalType> video_signal;
};

// `nal_unit` starts with the NAL header byte (type 7) and may still carry
// emulation prevention bytes. nullopt for anything that is not a complete,
// plausible sequence parameter set (up to its cropping fields).
[[nodiscard]] std::optional<SequenceParameterSet> parse_sps(std::span<const std::byte> nal_unit);
[[nodiscard]] std::optional<PictureSize> sps_picture_size(std::span<const std::byte> nal_unit);

// The first sequence parameter set of an Annex B access unit, if it has one.
[[nodiscard]] std::optional<SequenceParameterSet> annex_b_sps(std::span<const std::byte> annex_b);
[[nodiscard]] std::optional<PictureSize> annex_b_picture_size(std::span<const std::byte> annex_b);

}  // namespace quorvex::sender
