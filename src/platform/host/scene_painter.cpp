#include "platform/host/scene_painter.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/host/checked_rows.h"

namespace quorvex::platform::host {
namespace {

// A few sizes are in use at a time (display, window, resized windows); more
// than this and the oldest pictures are simply painted again.
constexpr std::size_t max_cached_backgrounds = 8;

struct Bgra {
  std::uint8_t b, g, r;
};

QVX_PIXEL_LOOP void fill_rect(testing::PictureView t, int left, int top, int right, int bottom, Bgra c) {
  left = std::max(left, 0);
  top = std::max(top, 0);
  right = std::min(right, t.width);
  bottom = std::min(bottom, t.height);
  if (right <= left) {
    return;
  }
  for (int y = top; y < bottom; ++y) {
    std::uint8_t* p = t.data + y * t.stride_bytes + left * 4;
    checked_rows::writes(p, 4 * static_cast<std::size_t>(right - left));
    for (int x = left; x < right; ++x, p += 4) {
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      p[3] = 255;
    }
  }
}

// Deterministic pseudo-random numbers, so every run paints the same scene.
struct Lcg {
  std::uint32_t state;
  std::uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

// "Glyphs": small dark marks in lines, like text on a page.
void paint_text_lines(testing::PictureView t, int left, int top, int right, int bottom, std::uint32_t seed) {
  Lcg rng{seed};
  for (int y = top + 40; y + 10 < bottom; y += 18) {
    int x = left + 12 + static_cast<int>(rng.next() % 24);
    while (x + 8 < right) {
      const int word = 3 + static_cast<int>(rng.next() % 7);
      for (int i = 0; i < word && x + 6 < right; ++i) {
        const std::uint32_t bits = rng.next();
        for (int gy = 0; gy < 10; ++gy) {
          for (int gx = 0; gx < 6; ++gx) {
            if (((bits >> ((gy * 6 + gx) % 23)) & 1u) != 0) {
              std::uint8_t* p = t.data + (y + gy) * t.stride_bytes + (x + gx) * 4;
              p[0] = 40;
              p[1] = 40;
              p[2] = 48;
            }
          }
        }
        x += 7;
      }
      x += 10;
    }
  }
}

}  // namespace

Rect color_patch_rect(int width, int height, int index) {
  constexpr int count = static_cast<int>(std::size(color_patches));
  const int side = height / 10;
  const int left = width - (count + 1 - index) * side;
  const int top = height - 2 * side;
  return Rect{left, top, left + side, top + side};
}

const std::vector<std::uint8_t>& ScenePainter::background(int width, int height) {
  const auto key = std::make_tuple(width, height);
  if (auto it = backgrounds_.find(key); it != backgrounds_.end()) {
    return it->second;
  }
  if (backgrounds_.size() >= max_cached_backgrounds) {
    backgrounds_.clear();
  }
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  testing::PictureView view{pixels.data(), static_cast<std::ptrdiff_t>(width) * 4, width, height};
  // A soft diagonal gradient, light enough for dark text. Blue follows x,
  // green y and red x + y: tables of them spare two million divisions per
  // 1080p picture (the first picture of a session waits for this one).
  std::vector<std::uint8_t> blue(static_cast<std::size_t>(width));
  std::vector<std::uint8_t> red(static_cast<std::size_t>(width) + height);
  for (int x = 0; x < width; ++x) blue[x] = static_cast<std::uint8_t>(200 + (x * 40) / std::max(width, 1));
  for (int d = 0; d < width + height; ++d) {
    red[d] = static_cast<std::uint8_t>(180 + (d * 30) / std::max(width + height, 1));
  }
  for (int y = 0; y < height; ++y) {
    std::uint8_t* p = pixels.data() + static_cast<std::size_t>(y) * width * 4;
    const auto green = static_cast<std::uint8_t>(190 + (y * 50) / std::max(height, 1));
    for (int x = 0; x < width; ++x, p += 4) {
      p[0] = blue[x];
      p[1] = green;
      p[2] = red[x + y];
      p[3] = 255;
    }
  }
  paint_text_lines(view, 0, 0, width, height, static_cast<std::uint32_t>(width * 31 + height));
  return backgrounds_.emplace(key, std::move(pixels)).first->second;
}

void ScenePainter::paint_scene(testing::PictureView target, int x, int y, int width, int height,
                               std::uint32_t tick, testing::FrameClockStamp stamp) {
  width = std::min(width, target.width - x);
  height = std::min(height, target.height - y);
  if (width <= 0 || height <= 0) {
    return;
  }
  const std::vector<std::uint8_t>& bg = background(width, height);
  for (int row = 0; row < height; ++row) {
    std::memcpy(target.data + (y + row) * target.stride_bytes + x * 4,
                bg.data() + static_cast<std::size_t>(row) * width * 4, static_cast<std::size_t>(width) * 4);
  }
  testing::PictureView area{target.data + y * target.stride_bytes + x * 4, target.stride_bytes, width,
                            height};
  // Moving shapes at different speeds and directions.
  const int t = static_cast<int>(tick % 100000u);
  const int box = std::max(24, std::min(width, height) / 6);
  const int span_x = std::max(1, width - box);
  const int span_y = std::max(1, height - box);
  auto bounce = [](int pos, int span) {
    const int period = 2 * span;
    const int p = pos % period;
    return p < span ? p : period - p;
  };
  fill_rect(area, bounce(t * 7, span_x), bounce(t * 3 + span_y / 2, span_y), bounce(t * 7, span_x) + box,
            bounce(t * 3 + span_y / 2, span_y) + box, Bgra{40, 60, 220});
  fill_rect(area, bounce(t * 4 + span_x / 3, span_x), bounce(t * 5, span_y),
            bounce(t * 4 + span_x / 3, span_x) + box / 2, bounce(t * 5, span_y) + box, Bgra{60, 180, 50});
  const int bar_x = bounce(t * 11, std::max(1, width - 12));
  fill_rect(area, bar_x, frame_clock_clear_rows(), bar_x + 12, height, Bgra{200, 120, 30});
  for (int i = 0; i < static_cast<int>(std::size(color_patches)); ++i) {
    const Rect r = color_patch_rect(width, height, i);
    const ColorPatch c = color_patches[i];
    // Below the strip's rows even in a scene too small to hold both.
    fill_rect(area, r.left, std::max(r.top, frame_clock_clear_rows()), r.right, r.bottom, Bgra{c.b, c.g, c.r});
  }
  testing::draw_frame_clock_bgra(area, 0, 0, stamp);
}

int ScenePainter::frame_clock_clear_rows() { return testing::frame_clock_height_px; }

void ScenePainter::paint_display(testing::PictureView target, int width, int height, std::uint32_t tick,
                                 testing::FrameClockStamp stamp) {
  paint_scene(target, 0, 0, width, height, tick, stamp);
}

void ScenePainter::paint_window(testing::PictureView target, const WindowState& window, std::uint32_t tick,
                                testing::FrameClockStamp stamp) {
  const int width = std::min(window.spec.bounds.right - window.spec.bounds.left, target.width);
  const int height = std::min(window.spec.bounds.bottom - window.spec.bounds.top, target.height);
  if (width <= 0 || height <= 0) {
    return;
  }
  const FrameInsets& f = window.spec.frame;
  fill_rect(target, 0, 0, width, height, Bgra{90, 90, 90});             // border
  fill_rect(target, 1, 1, width - 1, f.top, Bgra{150, 90, 40});          // title bar
  // Title "text": one mark per character, shaped by the character code.
  int x = 10;
  for (char16_t c : window.spec.title) {
    if (x + 7 >= width - 60) {
      break;
    }
    for (int gy = 0; gy < 11; ++gy) {
      for (int gx = 0; gx < 6; ++gx) {
        if (((static_cast<unsigned>(c) * 2654435761u) >> ((gy * 6 + gx) % 29) & 1u) != 0 && 10 + gy < height) {
          std::uint8_t* p = target.data + (10 + gy) * target.stride_bytes + (x + gx) * 4;
          p[0] = p[1] = p[2] = 250;
        }
      }
    }
    x += 8;
  }
  // Caption buttons.
  for (int i = 0; i < 3; ++i) {
    fill_rect(target, width - 20 - i * 18, 9, width - 8 - i * 18, 21, Bgra{220, 220, 220});
  }
  paint_scene(target, f.left, f.top, window.client_width(), window.client_height(), tick, stamp);
}

}  // namespace quorvex::platform::host
