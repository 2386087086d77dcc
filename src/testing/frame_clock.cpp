#include "testing/frame_clock.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quorvex::testing {
namespace {

// Midway between black (16) and white (235) in limited-range luma; full-range
// BGRA averages land on the same side of it.
constexpr double luma_threshold = 125.5;
// A block closer to the threshold than this is neither black nor white.
constexpr double ambiguity_margin = 40.0;

// CRC-32 with the reflected polynomial 0xEDB88320 (zlib's crc32), bit by bit:
// eight bytes per picture need no table.
std::uint32_t crc32(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

std::uint32_t check_value(std::uint32_t frame_number, std::uint32_t wall_time_ms) {
  std::uint8_t bytes[8];
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<std::uint8_t>(frame_number >> (8 * i));
    bytes[4 + i] = static_cast<std::uint8_t>(wall_time_ms >> (8 * i));
  }
  return crc32(bytes, sizeof bytes);
}

template <class PixelLuma>
std::optional<FrameClockStamp> decode(ConstPictureView picture, StripPlacement placement,
                                      PixelLuma pixel_luma) {
  const double block_w = frame_clock_block_px * placement.scale_x;
  const double block_h = frame_clock_block_px * placement.scale_y;
  // The placement may come from a command line: block centres that cannot
  // all lie inside the picture are refused before a coordinate becomes an int.
  const double first_x = placement.left + 0.5 * block_w;
  const double first_y = placement.top + 0.5 * block_h;
  const double last_x = placement.left + (frame_clock_blocks_per_row - 0.5) * block_w;
  const double last_y = placement.top + (frame_clock_rows - 0.5) * block_h;
  if (!(block_w > 0 && block_h > 0 && first_x >= 0 && first_y >= 0 && last_x < picture.width &&
        last_y < picture.height)) {
    return std::nullopt;
  }
  // Average a small neighbourhood (up to a quarter block each way) so that a
  // single noisy pixel from the codec cannot flip a bit.
  const int radius = std::clamp(static_cast<int>(std::min(block_w, block_h) / 4.0), 0, 3);
  std::uint32_t rows[frame_clock_rows] = {};
  for (int r = 0; r < frame_clock_rows; ++r) {
    for (int k = 0; k < frame_clock_blocks_per_row; ++k) {
      const double cx = placement.left + (k + 0.5) * block_w;
      const double cy = placement.top + (r + 0.5) * block_h;
      const int px = static_cast<int>(std::floor(cx));
      const int py = static_cast<int>(std::floor(cy));
      if (px - radius < 0 || py - radius < 0 || px + radius >= picture.width ||
          py + radius >= picture.height) {
        return std::nullopt;
      }
      double sum = 0;
      int count = 0;
      for (int y = py - radius; y <= py + radius; ++y) {
        const std::uint8_t* row = picture.data + y * picture.stride_bytes;
        for (int x = px - radius; x <= px + radius; ++x) {
          sum += pixel_luma(row, x);
          ++count;
        }
      }
      const double mean = sum / count;
      if (std::abs(mean - luma_threshold) < ambiguity_margin) {
        return std::nullopt;
      }
      if (mean > luma_threshold) {
        rows[r] |= 1u << (31 - k);
      }
    }
  }
  if (rows[2] != check_value(rows[0], rows[1])) {
    return std::nullopt;
  }
  return FrameClockStamp{rows[0], rows[1]};
}

}  // namespace

void draw_frame_clock_bgra(PictureView bgra, int x, int y, FrameClockStamp stamp) {
  const std::uint32_t values[frame_clock_rows] = {stamp.frame_number, stamp.wall_time_ms,
                                                   check_value(stamp.frame_number, stamp.wall_time_ms)};
  for (int r = 0; r < frame_clock_rows; ++r) {
    for (int line = 0; line < frame_clock_block_px; ++line) {
      const int py = y + r * frame_clock_block_px + line;
      if (py < 0 || py >= bgra.height) {
        continue;
      }
      std::uint8_t* row = bgra.data + py * bgra.stride_bytes;
      for (int k = 0; k < frame_clock_blocks_per_row; ++k) {
        const std::uint8_t level = ((values[r] >> (31 - k)) & 1u) != 0 ? 255 : 0;
        const int left = std::max(x + k * frame_clock_block_px, 0);
        const int right = std::min(x + (k + 1) * frame_clock_block_px, bgra.width);
        for (int px = left; px < right; ++px) {
          std::uint8_t* p = row + px * 4;
          p[0] = level;
          p[1] = level;
          p[2] = level;
          p[3] = 255;
        }
      }
    }
  }
}

StripPlacement strip_placement(double strip_x, double strip_y, double source_left, double source_top,
                               double source_width, double source_height, double dest_left,
                               double dest_top, double dest_width, double dest_height) {
  StripPlacement placement;
  placement.scale_x = dest_width / source_width;
  placement.scale_y = dest_height / source_height;
  placement.left = dest_left + (strip_x - source_left) * placement.scale_x;
  placement.top = dest_top + (strip_y - source_top) * placement.scale_y;
  return placement;
}

std::optional<FrameClockStamp> decode_frame_clock_luma(ConstPictureView luma,
                                                       StripPlacement placement) {
  return decode(luma, placement, [](const std::uint8_t* row, int x) { return static_cast<double>(row[x]); });
}

std::optional<FrameClockStamp> decode_frame_clock_bgra(ConstPictureView bgra,
                                                       StripPlacement placement) {
  return decode(bgra, placement, [](const std::uint8_t* row, int x) {
    const std::uint8_t* p = row + x * 4;
    // Map full-range grey onto the limited luma scale the threshold uses.
    return 16.0 + (p[0] + p[1] + p[2]) / 3.0 * (219.0 / 255.0);
  });
}

}  // namespace quorvex::testing
