// The frame-clock strip on its own: what is drawn reads back, and pictures
// that do not carry a clean strip are refused instead of misread.
#include "testing/frame_clock.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace quorvex::testing {
namespace {

struct Picture {
  Picture(int w, int h, std::uint8_t grey) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h * 4, grey) {}
  PictureView view() { return {pixels.data(), width * 4, width, height}; }
  ConstPictureView const_view() const { return {pixels.data(), width * 4, width, height}; }
  int width;
  int height;
  std::vector<std::uint8_t> pixels;
};

TEST(FrameClock, ExtremeValuesReadBackAtAnOffset) {
  const FrameClockStamp stamps[] = {{0, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {0x80000001u, 0x7FFFFFFEu}, {12345, 67890}};
  for (const FrameClockStamp stamp : stamps) {
    Picture p(600, 80, 128);
    draw_frame_clock_bgra(p.view(), 40, 20, stamp);
    EXPECT_EQ(decode_frame_clock_bgra(p.const_view(), {40, 20, 1, 1}), stamp);
  }
}

TEST(FrameClock, GreyOrMissingStripIsRefusedNotGuessed) {
  Picture grey(600, 80, 128);
  EXPECT_FALSE(decode_frame_clock_bgra(grey.const_view(), {0, 0, 1, 1}).has_value());
  Picture cut(300, 80, 0);
  draw_frame_clock_bgra(cut.view(), 0, 0, {1, 2});  // clipped: the strip needs 512 px
  EXPECT_FALSE(decode_frame_clock_bgra(cut.const_view(), {0, 0, 1, 1}).has_value());
}

// Clean black and white blocks are not enough: a read in the wrong place or
// at the wrong scale sees black bars, a white area or the strip's own blocks
// shifted, all of them clean, and must still be refused rather than give a
// wrong clock. The strip sits on black, the colour of a letterbox bar, so
// every misplaced read below finds only clean blocks.
TEST(FrameClock, MisplacedOrMisscaledReadsAreRefused) {
  const FrameClockStamp stamps[] = {{0, 0}, {12345, 67890}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {7, 0x80000000u}};
  struct Read {
    const char* what;
    StripPlacement placement;
  };
  const Read misplaced[] = {
      {"one block to the right", {80, 64, 1, 1}},
      {"one block to the left", {48, 64, 1, 1}},
      {"one row down", {64, 80, 1, 1}},
      {"one row up", {64, 48, 1, 1}},
      {"a letterbox bar", {600, 64, 1, 1}},
      {"at half the scale", {64, 64, 0.5, 0.5}},
      {"at twice the scale", {64, 64, 2, 2}},
      {"half scale across only", {64, 64, 0.5, 1}},
  };
  for (const FrameClockStamp stamp : stamps) {
    Picture p(1200, 200, 0);
    draw_frame_clock_bgra(p.view(), 64, 64, stamp);
    EXPECT_EQ(decode_frame_clock_bgra(p.const_view(), {64, 64, 1, 1}), stamp);
    for (const Read& read : misplaced) {
      EXPECT_FALSE(decode_frame_clock_bgra(p.const_view(), read.placement).has_value())
          << read.what << ", stamp " << stamp.frame_number << "/" << stamp.wall_time_ms;
    }
  }
  Picture white(600, 80, 255);
  EXPECT_FALSE(decode_frame_clock_bgra(white.const_view(), {0, 0, 1, 1}).has_value());
}

// One block read wrong (a flipped bit in a damaged picture) fails the check
// instead of giving a clock one bit off.
TEST(FrameClock, AFlippedBlockFailsTheCheck) {
  for (int block = 0; block < frame_clock_rows * frame_clock_blocks_per_row; block += 7) {
    Picture p(600, 80, 128);
    draw_frame_clock_bgra(p.view(), 0, 0, {0x12345678u, 0x9ABCDEF0u});
    const int x = (block % frame_clock_blocks_per_row) * frame_clock_block_px;
    const int y = (block / frame_clock_blocks_per_row) * frame_clock_block_px;
    for (int row = y; row < y + frame_clock_block_px; ++row) {
      for (int column = x; column < x + frame_clock_block_px; ++column) {
        std::uint8_t* pixel = &p.pixels[(static_cast<std::size_t>(row) * p.width + column) * 4];
        for (int c = 0; c < 3; ++c) {
          pixel[c] = static_cast<std::uint8_t>(255 - pixel[c]);
        }
      }
    }
    EXPECT_FALSE(decode_frame_clock_bgra(p.const_view(), {0, 0, 1, 1}).has_value()) << "block " << block;
  }
}

// A placement typed by hand (qvrx --strip) must be refused, not turned into
// an out-of-range conversion or a read outside the picture.
TEST(FrameClock, PlacementOutsideThePictureOrNotANumberIsRefused) {
  Picture p(600, 80, 0);
  draw_frame_clock_bgra(p.view(), 0, 0, {0xFFFFFFFFu, 0xFFFFFFFFu});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const StripPlacement placements[] = {
      {nan, 0, 1, 1}, {0, nan, 1, 1}, {0, 0, nan, 1}, {0, 0, 1, inf}, {1e300, 0, 1, 1}, {-1e300, 0, 1, 1},
      {0, 0, 1e300, 1}, {0, 0, 0, 1}, {0, 0, -1, -1}, {-9, 0, 1, 1}, {97, 0, 1, 1}, {0, 57, 1, 1},
  };
  for (const StripPlacement placement : placements) {
    EXPECT_FALSE(decode_frame_clock_bgra(p.const_view(), placement).has_value())
        << placement.left << "," << placement.top << "," << placement.scale_x << "," << placement.scale_y;
    EXPECT_FALSE(decode_frame_clock_luma({p.pixels.data(), 600, 600, 80}, placement).has_value());
  }
  const FrameClockStamp all_ones{0xFFFFFFFFu, 0xFFFFFFFFu};
  EXPECT_EQ(decode_frame_clock_bgra(p.const_view(), {0, 0, 1, 1}), all_ones);
}

TEST(FrameClock, PlacementFollowsACropAndAScale) {
  // A strip at (100, 50) of a source whose rectangle (80, 40)-(1040, 580)
  // was scaled by 2/3 into an output at (10, 0).
  const StripPlacement p = strip_placement(100, 50, 80, 40, 960, 540, 10, 0, 640, 360);
  EXPECT_DOUBLE_EQ(p.scale_x, 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(p.scale_y, 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(p.left, 10 + 20 * 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(p.top, 10 * 2.0 / 3.0);
}

}  // namespace
}  // namespace quorvex::testing
