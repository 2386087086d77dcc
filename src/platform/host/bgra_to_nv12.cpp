#include "platform/host/bgra_to_nv12.h"

#include <cstddef>

#include "platform/host/checked_rows.h"

namespace quorvex::platform::host {
namespace {

// Rec. ITU-R BT.709 (Kr 0.2126, Kb 0.0722) scaled to studio range (luma
// 219/255, chroma 224/255 of the full-range differences) in 8-bit fixed
// point, as libyuv writes its BT.601 rows: every sum then fits 16 bits, so
// the compiler can work on eight or sixteen pixels at once. The chroma
// coefficients of each row add up to 0, so greys keep chroma at exactly 128.
// Rounding the coefficients moves no result by more than one level.
constexpr unsigned y_r = 47;   // 0.1826 * 256
constexpr unsigned y_g = 157;  // 0.6142 * 256
constexpr unsigned y_b = 16;   // 0.0620 * 256
constexpr unsigned y_offset = (16 << 8) + 128;
constexpr unsigned u_r = 26;   // -0.1006 * 256
constexpr unsigned u_g = 86;   // -0.3386 * 256
constexpr unsigned u_b = 112;  //  0.4392 * 256
constexpr unsigned v_r = 112;  //  0.4392 * 256
constexpr unsigned v_g = 102;  // -0.3989 * 256
constexpr unsigned v_b = 10;   // -0.0403 * 256
constexpr unsigned uv_offset = (128 << 8) + 128;

// The row loops are compiled twice, for AVX2 and for the baseline, and the
// first conversion picks the one for the processor at hand. The choice is
// made at run time rather than by the loader (target_clones): an ifunc
// resolver runs before a sanitizer's runtime is up and crashes there. Under
// a sanitizer the loops declare their rows as ranges (checked_rows.h).
#define QVX_ROW_BODY inline __attribute__((always_inline)) QVX_PIXEL_LOOP

// One row of luma. The sums stay below 2^16 (at most 220 * 255 + offset).
QVX_ROW_BODY void luma_row(const std::uint8_t* bgra, std::uint8_t* y, int width) {
  for (int x = 0; x < width; ++x) {
    const std::uint8_t* p = bgra + 4 * x;
    y[x] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(y_r * p[2] + y_g * p[1] + y_b * p[0] + y_offset) >>
                                     8);
  }
}

// The rounded average of one channel of the 2x2 block at `a` (top row) and
// `b` (bottom row).
QVX_ROW_BODY std::uint16_t block_average(const std::uint8_t* a, const std::uint8_t* b, int channel) {
  return static_cast<std::uint16_t>((a[channel] + a[channel + 4] + b[channel] + b[channel + 4] + 2) >> 2);
}

// One row of interleaved chroma from two rows of pixels; `width` is even.
// Each sample comes from the rounded average of its 2x2 block. The sums are
// taken modulo 2^16: the true values lie in 16 * 256 .. 240 * 256 + 255, so
// the wrap-around gives them exactly.
QVX_ROW_BODY void chroma_row(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* uv, int width) {
  for (int x = 0; x < width; x += 2) {
    const std::uint8_t* a = top + 4 * x;
    const std::uint8_t* b = bottom + 4 * x;
    const std::uint16_t blue = block_average(a, b, 0);
    const std::uint16_t green = block_average(a, b, 1);
    const std::uint16_t red = block_average(a, b, 2);
    uv[x] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(u_b * blue - u_g * green - u_r * red + uv_offset) >>
                                      8);
    uv[x + 1] = static_cast<std::uint8_t>(
        static_cast<std::uint16_t>(v_r * red - v_g * green - v_b * blue + uv_offset) >> 8);
  }
}

QVX_ROW_BODY void convert(const std::uint8_t* src_bgra, int src_stride, std::uint8_t* dst_y,
                          int dst_y_stride, std::uint8_t* dst_uv, int dst_uv_stride, int width, int height) {
  const int even_width = width & ~1;
  const auto pixel_bytes = 4 * static_cast<std::size_t>(width);
  const auto luma_bytes = static_cast<std::size_t>(width);
  // Two bytes per pair of columns, an odd last column included.
  const auto chroma_bytes = static_cast<std::size_t>(width + 1) & ~std::size_t{1};
  for (int row = 0; row < height; row += 2) {
    const std::uint8_t* top = src_bgra + static_cast<std::ptrdiff_t>(row) * src_stride;
    // An odd last row or column is paired with itself.
    const std::uint8_t* bottom = row + 1 < height ? top + src_stride : top;
    std::uint8_t* y_top = dst_y + static_cast<std::ptrdiff_t>(row) * dst_y_stride;
    std::uint8_t* uv = dst_uv + static_cast<std::ptrdiff_t>(row / 2) * dst_uv_stride;
    checked_rows::reads(top, pixel_bytes);
    checked_rows::writes(y_top, luma_bytes);
    luma_row(top, y_top, width);
    if (row + 1 < height) {
      checked_rows::reads(bottom, pixel_bytes);
      checked_rows::writes(y_top + dst_y_stride, luma_bytes);
      luma_row(bottom, y_top + dst_y_stride, width);
    }
    checked_rows::writes(uv, chroma_bytes);
    chroma_row(top, bottom, uv, even_width);
    if (even_width != width) {
      std::uint8_t last[2 * 2 * 4];
      for (int i = 0; i < 4; ++i) {
        last[i] = last[4 + i] = top[4 * even_width + i];
        last[8 + i] = last[12 + i] = bottom[4 * even_width + i];
      }
      chroma_row(last, last + 8, uv + even_width, 2);
    }
  }
}

using Convert = void (*)(const std::uint8_t*, int, std::uint8_t*, int, std::uint8_t*, int, int, int);

__attribute__((target("avx2"))) QVX_PIXEL_LOOP void convert_avx2(const std::uint8_t* src_bgra, int src_stride,
                                                                 std::uint8_t* dst_y, int dst_y_stride,
                                                                 std::uint8_t* dst_uv, int dst_uv_stride, int width,
                                                                 int height) {
  convert(src_bgra, src_stride, dst_y, dst_y_stride, dst_uv, dst_uv_stride, width, height);
}

QVX_PIXEL_LOOP void convert_baseline(const std::uint8_t* src_bgra, int src_stride, std::uint8_t* dst_y,
                                     int dst_y_stride, std::uint8_t* dst_uv, int dst_uv_stride, int width, int height) {
  convert(src_bgra, src_stride, dst_y, dst_y_stride, dst_uv, dst_uv_stride, width, height);
}

}  // namespace

void bgra_to_nv12_bt709(const std::uint8_t* src_bgra, int src_stride, std::uint8_t* dst_y, int dst_y_stride,
                        std::uint8_t* dst_uv, int dst_uv_stride, int width, int height) {
  static const Convert chosen = __builtin_cpu_supports("avx2") ? convert_avx2 : convert_baseline;
  chosen(src_bgra, src_stride, dst_y, dst_y_stride, dst_uv, dst_uv_stride, width, height);
}

}  // namespace quorvex::platform::host
