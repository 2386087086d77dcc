// The frame-clock strip. A stamp painted into a picture of any size, at any
// place where it fits, on any background, decodes to the same stamp from
// the BGRA picture, from its luma plane and after a nearest-neighbour
// downscale to as little as a third; arbitrary pixels with arbitrary
// placements (infinite, NaN, huge, negative) are never read out of bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "check.h"
#include "testing/frame_clock.h"

namespace {

namespace fc = quorvex::testing;

struct Picture {
  int width = 0;
  int height = 0;
  int bytes_per_pixel = 4;
  std::ptrdiff_t stride = 0;
  // Exactly stride x height bytes, so a read past the last row is caught.
  std::vector<std::uint8_t> pixels;

  Picture(int w, int h, int bpp, int padding)
      : width(w), height(h), bytes_per_pixel(bpp), stride(std::ptrdiff_t{w} * bpp + padding),
        pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h)) {}
  fc::ConstPictureView view() const { return {pixels.data(), stride, width, height}; }
  std::uint8_t* row(int y) { return pixels.data() + y * stride; }
};

// Limited-range luma of a grey BGRA pixel, as the video processor makes it.
QVX_FUZZ_NO_COVERAGE std::uint8_t luma_of(const std::uint8_t* bgra) {
  const int grey = (bgra[0] + bgra[1] + bgra[2]) / 3;
  return static_cast<std::uint8_t>(16 + grey * 219 / 255);
}

// The pattern repeated over the whole buffer.
QVX_FUZZ_NO_COVERAGE void fill(std::vector<std::uint8_t>& pixels, const std::vector<std::uint8_t>& pattern) {
  for (std::size_t i = 0; !pattern.empty() && i < pixels.size(); i += pattern.size()) {
    std::copy_n(pattern.begin(), std::min(pattern.size(), pixels.size() - i), pixels.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

QVX_FUZZ_NO_COVERAGE void convert_to_luma(Picture& bgra, Picture& luma) {
  for (int row = 0; row < bgra.height; ++row) {
    for (int col = 0; col < bgra.width; ++col) {
      luma.row(row)[col] = luma_of(bgra.row(row) + col * 4);
    }
  }
}

// Every output pixel takes the source pixel under its centre.
QVX_FUZZ_NO_COVERAGE void downscale(Picture& source, double scale, Picture& scaled) {
  for (int row = 0; row < scaled.height; ++row) {
    const int source_row = std::min(static_cast<int>((row + 0.5) / scale), source.height - 1);
    for (int col = 0; col < scaled.width; ++col) {
      const int source_col = std::min(static_cast<int>((col + 0.5) / scale), source.width - 1);
      scaled.row(row)[col] = source.row(source_row)[source_col];
    }
  }
}

// A double from raw bits now and then, so infinities and NaNs come too.
double any_double(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange(0, 3) == 0) {
    return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
  }
  return in.ConsumeFloatingPointInRange<double>(-2000.0, 2000.0);
}

void painted(FuzzedDataProvider& in) {
  const int width = in.ConsumeIntegralInRange(fc::frame_clock_width_px, fc::frame_clock_width_px + 64);
  const int height = in.ConsumeIntegralInRange(fc::frame_clock_height_px, fc::frame_clock_height_px + 32);
  const int x = in.ConsumeIntegralInRange(0, width - fc::frame_clock_width_px);
  const int y = in.ConsumeIntegralInRange(0, height - fc::frame_clock_height_px);
  const fc::FrameClockStamp stamp{in.ConsumeIntegral<std::uint32_t>(), in.ConsumeIntegral<std::uint32_t>()};
  Picture bgra(width, height, 4, in.ConsumeIntegralInRange(0, 64));
  fill(bgra.pixels, in.ConsumeBytes<std::uint8_t>(64));
  fc::draw_frame_clock_bgra({bgra.pixels.data(), bgra.stride, width, height}, x, y, stamp);

  const fc::StripPlacement at{static_cast<double>(x), static_cast<double>(y), 1, 1};
  QVX_FUZZ_CHECK(fc::decode_frame_clock_bgra(bgra.view(), at) == stamp);

  Picture luma(width, height, 1, in.ConsumeIntegralInRange(0, 64));
  convert_to_luma(bgra, luma);
  QVX_FUZZ_CHECK(fc::decode_frame_clock_luma(luma.view(), at) == stamp);

  // Downscaled, nearest neighbour, by a factor from 1/3 to 1.
  const double scale = in.ConsumeFloatingPointInRange<double>(1.0 / 3.0, 1.0);
  const int scaled_width = static_cast<int>(std::floor(width * scale));
  const int scaled_height = static_cast<int>(std::floor(height * scale));
  Picture scaled(scaled_width, scaled_height, 1, 0);
  downscale(luma, scale, scaled);
  const fc::StripPlacement placement =
      fc::strip_placement(x, y, 0, 0, width, height, 0, 0, width * scale, height * scale);
  const auto decoded = fc::decode_frame_clock_luma(scaled.view(), placement);
  // The last block may fall off a picture cut down to whole pixels.
  if (placement.left + fc::frame_clock_width_px * scale <= scaled_width &&
      placement.top + fc::frame_clock_height_px * scale <= scaled_height) {
    QVX_FUZZ_CHECK(decoded == stamp);
  }
}

void arbitrary(FuzzedDataProvider& in) {
  const int bpp = in.ConsumeBool() ? 4 : 1;
  Picture picture(in.ConsumeIntegralInRange(0, 600), in.ConsumeIntegralInRange(0, 80), bpp,
                  in.ConsumeIntegralInRange(0, 16));
  fc::StripPlacement placement;
  placement.left = any_double(in);
  placement.top = any_double(in);
  placement.scale_x = in.ConsumeBool() ? any_double(in) : in.ConsumeFloatingPointInRange<double>(0.0, 2.0);
  placement.scale_y = in.ConsumeBool() ? any_double(in) : in.ConsumeFloatingPointInRange<double>(0.0, 2.0);
  fill(picture.pixels, in.ConsumeRemainingBytes<std::uint8_t>());
  if (bpp == 4) {
    static_cast<void>(fc::decode_frame_clock_bgra(picture.view(), placement));
  } else {
    static_cast<void>(fc::decode_frame_clock_luma(picture.view(), placement));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    painted(in);
  } else {
    arbitrary(in);
  }
  return 0;
}
