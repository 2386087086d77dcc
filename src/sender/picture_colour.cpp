#include "sender/picture_colour.h"

namespace quorvex::sender {
namespace {

// Rec. ITU-T H.264 table E-5.
constexpr std::uint8_t matrix_bt709 = 1;
constexpr std::uint8_t matrix_unspecified = 2;
constexpr std::uint8_t matrix_bt470bg = 5;
constexpr std::uint8_t matrix_smpte170m = 6;

}  // namespace

std::string_view colour_matrix_name(ColourMatrix matrix) {
  return matrix == ColourMatrix::Bt709 ? "bt709" : "bt601";
}

StreamColourWords stream_colour_words(const std::optional<VideoSignalType>& signal) {
  if (!signal) {
    return {"unspecified", "unspecified"};
  }
  StreamColourWords words{"unspecified", signal->full_range ? "full" : "limited"};
  if (signal->matrix_coefficients) {
    switch (*signal->matrix_coefficients) {
      case matrix_bt709: words.matrix = "bt709"; break;
      case matrix_bt470bg:
      case matrix_smpte170m: words.matrix = "bt601"; break;
      case matrix_unspecified: break;
      default: words.matrix = "other"; break;
    }
  }
  return words;
}

}  // namespace quorvex::sender
