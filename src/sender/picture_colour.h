// The colour matrix of the helper's pictures, and how a stream's colour
// description reads in one word.
//
// Hardware encoders commonly write no colour description into the stream,
// whatever the output type says (Chromium, crbug.com/1446081, leaves the
// colour attributes off for that reason: setting them "can actually break
// some encoders"). A player that meets such a stream guesses the matrix from
// the picture size; mpv's rule (video/csputils.c, mp_csp_guess_colorspace)
// is BT.709 when the width is 1280 or more or the height above 576, BT.601
// below. Converting with that same guess makes the colours right for such a
// player whether or not the description reaches the stream, and right for
// every player when it does. The range is always limited (16-235), the default of
// every player.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sender/h264_sps.h"

namespace quorvex::sender {

enum class ColourMatrix : std::uint8_t { Bt601, Bt709 };

// The matrix a player guesses for a picture of this size.
[[nodiscard]] constexpr ColourMatrix picture_colour_matrix(std::uint32_t width, std::uint32_t height) {
  constexpr std::uint32_t hd_min_width = 1280;
  constexpr std::uint32_t sd_max_height = 576;
  return width >= hd_min_width || height > sd_max_height ? ColourMatrix::Bt709 : ColourMatrix::Bt601;
}

// "bt601" or "bt709".
[[nodiscard]] std::string_view colour_matrix_name(ColourMatrix matrix);

// What a stream's sequence parameter set says, as the words of the
// diagnostics: matrix "bt709", "bt601" (BT.470 BG or SMPTE 170M, the same
// coefficients), "unspecified" (no description, or code 2) or "other";
// range "limited", "full" or "unspecified" (no video signal type: players
// take limited).
struct StreamColourWords {
  std::string_view matrix;
  std::string_view range;
};
[[nodiscard]] StreamColourWords stream_colour_words(const std::optional<VideoSignalType>& signal);

}  // namespace quorvex::sender
