#include "platform/host/bgra_to_nv12.h"

namespace quorvex::platform::host {
namespace {

// Rec. ITU-R BT.709 (Kr 0.2126, Kb 0.0722) scaled to studio range: luma
// 219/255 and chroma 224/255 of the full-range differences, in 16-bit fixed
// point. The coefficients keep every result inside 16..235 and 16..240 for
// any 8-bit input, so nothing needs clamping.
constexpr int fixed(double coefficient) {
  return static_cast<int>(coefficient * 65536.0 + (coefficient < 0 ? -0.5 : 0.5));
}
constexpr double kr = 0.2126;
constexpr double kb = 0.0722;
constexpr double kg = 1.0 - kr - kb;
constexpr double luma_scale = 219.0 / 255.0;
constexpr double chroma_scale = 224.0 / 255.0;
constexpr int y_r = fixed(kr * luma_scale);
constexpr int y_g = fixed(kg * luma_scale);
constexpr int y_b = fixed(kb * luma_scale);
constexpr int u_r = fixed(-kr / (2 * (1 - kb)) * chroma_scale);
constexpr int u_g = fixed(-kg / (2 * (1 - kb)) * chroma_scale);
constexpr int u_b = fixed(0.5 * chroma_scale);
constexpr int v_r = fixed(0.5 * chroma_scale);
constexpr int v_g = fixed(-kg / (2 * (1 - kr)) * chroma_scale);
constexpr int v_b = fixed(-kb / (2 * (1 - kr)) * chroma_scale);
constexpr int y_offset = (16 << 16) + (1 << 15);
// Chroma takes the sum of four pixels, two more bits.
constexpr int uv_offset = (128 << 18) + (1 << 17);

inline std::uint8_t luma(const std::uint8_t* p) {
  return static_cast<std::uint8_t>((y_r * p[2] + y_g * p[1] + y_b * p[0] + y_offset) >> 16);
}

}  // namespace

void bgra_to_nv12_bt709(const std::uint8_t* src_bgra, int src_stride, std::uint8_t* dst_y, int dst_y_stride,
                        std::uint8_t* dst_uv, int dst_uv_stride, int width, int height) {
  for (int row = 0; row < height; row += 2) {
    const std::uint8_t* top = src_bgra + static_cast<std::ptrdiff_t>(row) * src_stride;
    const std::uint8_t* bottom = row + 1 < height ? top + src_stride : top;
    std::uint8_t* y_top = dst_y + static_cast<std::ptrdiff_t>(row) * dst_y_stride;
    std::uint8_t* y_bottom = y_top + dst_y_stride;
    std::uint8_t* uv = dst_uv + static_cast<std::ptrdiff_t>(row / 2) * dst_uv_stride;
    for (int x = 0; x < width; ++x) {
      y_top[x] = luma(top + 4 * x);
    }
    if (row + 1 < height) {
      for (int x = 0; x < width; ++x) {
        y_bottom[x] = luma(bottom + 4 * x);
      }
    }
    for (int x = 0; x < width; x += 2) {
      const int right = x + 1 < width ? 4 * (x + 1) : 4 * x;
      const int left = 4 * x;
      const int b = top[left] + top[right] + bottom[left] + bottom[right];
      const int g = top[left + 1] + top[right + 1] + bottom[left + 1] + bottom[right + 1];
      const int r = top[left + 2] + top[right + 2] + bottom[left + 2] + bottom[right + 2];
      uv[x] = static_cast<std::uint8_t>((u_r * r + u_g * g + u_b * b + uv_offset) >> 18);
      uv[x + 1] = static_cast<std::uint8_t>((v_r * r + v_g * g + v_b * b + uv_offset) >> 18);
    }
  }
}

}  // namespace quorvex::platform::host
