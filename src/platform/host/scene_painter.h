// Paints the pictures of the virtual desktop: a display's animated scene, or
// a window with its own frame, border, title bar and an animated client
// area. Moving shapes give the encoder real motion to code, fine "text-like"
// detail gives it texture, a frame-clock strip (testing/frame_clock.h) sits
// at the top-left corner of a display and of a window's client area, and a
// row of flat colour patches near the bottom-right corner shows a decoder's
// colours against known values.
//
// Thread contract: one painter per compositing thread; not shared.
#pragma once

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "platform/host/virtual_desktop.h"
#include "testing/frame_clock.h"

namespace quorvex::platform::host {

// The flat patches of a scene: white, black, mid grey, red, green, blue,
// squares of a tenth of the scene's height side by side, the row one side
// above the bottom edge and one side in from the right edge. Painted over
// the moving shapes, so they never change.
struct ColorPatch {
  std::uint8_t r, g, b;
};
inline constexpr ColorPatch color_patches[] = {{255, 255, 255}, {0, 0, 0},   {128, 128, 128},
                                               {255, 0, 0},     {0, 255, 0}, {0, 0, 255}};
// Patch `index` of a scene of this size, in scene pixels.
[[nodiscard]] Rect color_patch_rect(int width, int height, int index);

class ScenePainter {
 public:
  // Paints a display of width x height into the top-left of `target`
  // (clipped to it). `tick` drives the animation.
  void paint_display(testing::PictureView target, int width, int height, std::uint32_t tick,
                     testing::FrameClockStamp stamp);
  // Paints the whole window (outer rectangle) into the top-left of `target`.
  void paint_window(testing::PictureView target, const WindowState& window, std::uint32_t tick,
                    testing::FrameClockStamp stamp);

 private:
  // The static part of a scene of this size, painted once.
  const std::vector<std::uint8_t>& background(int width, int height);
  void paint_scene(testing::PictureView target, int x, int y, int width, int height,
                   std::uint32_t tick, testing::FrameClockStamp stamp);

  // The moving bar keeps clear of the strip's rows so the strip stays legible.
  static int frame_clock_clear_rows();

  std::map<std::tuple<int, int>, std::vector<std::uint8_t>> backgrounds_;
};

}  // namespace quorvex::platform::host
