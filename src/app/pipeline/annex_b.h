// Puts the encoder's access units into Annex B form (start-code delimited),
// the form every frame record carries.
//
// An encoder frames its NAL units either with start codes or with 4-byte
// big-endian lengths, and keeps to one framing for the whole stream. One
// buffer alone cannot always tell which: a length-prefixed NAL unit of 1 byte
// begins 00 00 00 01 and one of 256 to 511 bytes begins 00 00 01, exactly
// like a start code (a small P-slice of a static screen is that size). The
// framing is therefore decided by the stream's first output, which carries
// the sequence parameter set, and every later output is read in it.
//
// Thread contract: one normaliser per encoder stream, used by one thread
// (the encoder event thread).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "app/error.h"

namespace quorvex::app {

inline constexpr std::string_view invalid_h264_message = "invalid H.264 output";
inline constexpr std::string_view invalid_length_prefixed_message =
    "invalid length-prefixed H.264 output";

// Whether the bytes begin with 00 00 01 or 00 00 00 01.
[[nodiscard]] bool begins_with_start_code(std::span<const std::byte> bytes);

enum class H264Framing {
  // 00 00 01 or 00 00 00 01 before each NAL unit.
  StartCodes,
  // Each NAL unit preceded by its length, 4 bytes big-endian.
  LengthPrefixed,
};

class AnnexBNormaliser {
 public:
  // The access unit as start-code delimited bytes. The first call decides the
  // framing: start codes when the bytes begin with 00 00 01 or 00 00 00 01,
  // lengths otherwise. In a start-code stream the bytes come back unchanged
  // and must begin with a start code; in a length-prefixed stream each length
  // is replaced by the start code 00 00 00 01, in place. NAL units are never
  // added, removed or reordered.
  [[nodiscard]] Result<std::vector<std::byte>> normalise(std::vector<std::byte> bytes);

  // Absent until the first output has been seen.
  [[nodiscard]] std::optional<H264Framing> framing() const { return framing_; }

 private:
  std::optional<H264Framing> framing_;
};

}  // namespace quorvex::app
