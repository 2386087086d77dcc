// The frame-clock strip: a machine-readable stamp that the host stand-in
// paints into every picture it composes, so that a test (or a tool reading a
// recorded stream) can tell which frame a decoded picture is and when it was
// composed, even after the picture was scaled and H.264-encoded.
//
// Layout (in the pixels of the picture that carries it):
//
//   origin (x, y) = top-left corner of the strip, given by whoever paints it
//   3 rows x 32 blocks, each block 16 x 16 px  ->  the strip is 512 x 48 px
//
//     row 0 (y .. y+15):    frame number,                    bit 31 ... bit 0
//     row 1 (y+16 .. y+31): low 32 bits of the wall-clock time in
//                           milliseconds since the Unix epoch, bit 31 ... bit 0
//     row 2 (y+32 .. y+47): check value: the CRC-32 (the one zlib and
//                           Ethernet use) of the frame number and the time,
//                           each as four little-endian bytes, in that order
//
//   block k of a row (k = 0 at the left, x + 16k .. x + 16k + 15) carries bit
//   31 - k of the row's value: 1 = white (BGRA 255,255,255,255, which is
//   Y = 235 in BT.601 limited range), 0 = black (BGRA 0,0,0,255, Y = 16).
//
// 16 px blocks still measure 5.3 px after the 1/3 downscale 1920x1080 ->
// 640x360, which leaves two clean pixels around each block centre even after
// bilinear filtering and H.264 quantisation, so the size the stand-in always
// used is kept. The decoder reads luma only: the average of a few pixels
// around each block centre, and it refuses a picture in which any block is
// neither clearly dark nor clearly bright rather than guessing.
//
// Clean blocks alone do not prove that the strip was found: a read in the
// wrong place or at the wrong scale can land on black bars (every bit 0), on
// flat content or on blocks of the strip itself shifted by whole blocks, and
// would then give a confident wrong clock. The check row makes such a read
// fail: the decoder returns a stamp only when the third row matches the first
// two.
//
// Thread contract: free functions over caller-owned pictures; reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quorvex::testing {

inline constexpr int frame_clock_block_px = 16;
inline constexpr int frame_clock_blocks_per_row = 32;
inline constexpr int frame_clock_rows = 3;
inline constexpr int frame_clock_width_px = frame_clock_block_px * frame_clock_blocks_per_row;
inline constexpr int frame_clock_height_px = frame_clock_block_px * frame_clock_rows;

struct FrameClockStamp {
  std::uint32_t frame_number = 0;
  std::uint32_t wall_time_ms = 0;  // low 32 bits of milliseconds since the Unix epoch
  friend bool operator==(FrameClockStamp, FrameClockStamp) = default;
};

// A picture in caller memory: 4 bytes per pixel (BGRA) or 1 (a luma plane).
struct PictureView {
  std::uint8_t* data = nullptr;
  std::ptrdiff_t stride_bytes = 0;
  int width = 0;
  int height = 0;
};

struct ConstPictureView {
  const std::uint8_t* data = nullptr;
  std::ptrdiff_t stride_bytes = 0;
  int width = 0;
  int height = 0;
};

// Paints the strip with its top-left corner at (x, y); parts outside the
// picture are clipped.
void draw_frame_clock_bgra(PictureView bgra, int x, int y, FrameClockStamp stamp);

// Where the strip ended up after the picture was scaled: the strip's origin
// in output pixels and the horizontal and vertical scale factors.
struct StripPlacement {
  double left = 0;
  double top = 0;
  double scale_x = 1;
  double scale_y = 1;
};

// The placement of a strip painted at (strip_x, strip_y) of a source picture
// whose rectangle (source_left, source_top, source_width x source_height) was
// scaled into the output rectangle (dest_left, dest_top, dest_width x
// dest_height).
[[nodiscard]] StripPlacement strip_placement(double strip_x, double strip_y, double source_left,
                                             double source_top, double source_width,
                                             double source_height, double dest_left, double dest_top,
                                             double dest_width, double dest_height);

// Reads the strip back; nullopt when a block falls outside the picture, is
// too grey to tell, or the check row does not match.
[[nodiscard]] std::optional<FrameClockStamp> decode_frame_clock_luma(ConstPictureView luma,
                                                                     StripPlacement placement);
[[nodiscard]] std::optional<FrameClockStamp> decode_frame_clock_bgra(ConstPictureView bgra,
                                                                     StripPlacement placement);

}  // namespace quorvex::testing
