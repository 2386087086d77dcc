// BGRA to NV12 with the BT.709 matrix, for the host video processor: the
// installed libyuv converts RGB to YCbCr only with BT.601 (ARGBToNV12) or
// full-range JPEG coefficients (ARGBToJ420), so this is written here, in
// libyuv's shape and conventions: full-range RGB in, studio range out, each
// chroma sample from the average of its 2x2 block (odd edges repeat the last
// column or row).
//
// Thread contract: a pure function on the caller's buffers; any thread.
#pragma once

#include <cstdint>

namespace quorvex::platform::host {

void bgra_to_nv12_bt709(const std::uint8_t* src_bgra, int src_stride, std::uint8_t* dst_y, int dst_y_stride,
                        std::uint8_t* dst_uv, int dst_uv_stride, int width, int height);

}  // namespace quorvex::platform::host
