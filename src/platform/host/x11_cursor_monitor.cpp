#include "platform/host/x11_cursor_monitor.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::host::x11 {

X11CursorMonitor::X11CursorMonitor(std::shared_ptr<X11Connection> x) : x_(std::move(x)) {
  xcb_xfixes_select_cursor_input(x_->get(), x_->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  xcb_flush(x_->get());
}

std::optional<CursorSample> X11CursorMonitor::sample() {
  xcb_connection_t* c = x_->get();
  auto pointer = reply<xcb_query_pointer_reply_t>(c, xcb_query_pointer(c, x_->root()), xcb_query_pointer_reply);
  if (!pointer || pointer->same_screen == 0) return std::nullopt;
  const MutexLock lock(mutex_);
  // Counted before the read, so a change during the read is fetched next time.
  const std::uint64_t shape = shape_changes_.load();
  if (!image_ || shape != image_shape_) {
    CursorImage image = reply<xcb_xfixes_get_cursor_image_reply_t>(c, xcb_xfixes_get_cursor_image(c),
                                                                   xcb_xfixes_get_cursor_image_reply);
    if (!image) return std::nullopt;
    image_ = std::move(image);
    image_shape_ = shape;
  }
  return CursorSample{pointer->root_x, pointer->root_y, image_shape_, image_};
}

void blend_cursor(testing::PictureView target, const xcb_xfixes_get_cursor_image_reply_t& cursor, int left,
                  int top) {
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(&cursor);
  for (int row = 0; row < cursor.height; ++row) {
    const int y = top + row;
    if (y < 0 || y >= target.height) continue;
    std::uint8_t* line = target.data + y * target.stride_bytes;
    for (int column = 0; column < cursor.width; ++column) {
      const int x = left + column;
      if (x < 0 || x >= target.width) continue;
      const std::uint32_t argb = pixels[row * cursor.width + column];
      const std::uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;
      std::uint8_t* p = line + x * 4;
      for (int channel = 0; channel < 3; ++channel) {
        const std::uint32_t source = (argb >> (8 * channel)) & 0xFF;
        p[channel] = static_cast<std::uint8_t>(source + (p[channel] * (255 - alpha) + 127) / 255);
      }
    }
  }
}

}  // namespace quorvex::platform::host::x11
