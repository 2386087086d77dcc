// The X11 pointer for display sessions that show the cursor: its shape from
// XFixes, fetched again only after an XFixesDisplayCursorNotify says it
// changed, and its position from QueryPointer, which is the one thing X11
// tells no client of without XInput2 (WebRTC's MouseCursorMonitorX11 does the
// same: the shape on the cursor notification, the position on every capture).
//
// Thread contract: every member may be called from any thread.
#pragma once

#include <xcb/xfixes.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/host/x11_connection.h"
#include "platform/thread_safety.h"
#include "testing/frame_clock.h"

namespace quorvex::platform::host::x11 {

using CursorImage = Reply<xcb_xfixes_get_cursor_image_reply_t>;

struct CursorSample {
  std::int32_t x = 0;  // the hot spot in root coordinates
  std::int32_t y = 0;
  std::uint64_t shape = 0;  // changes with the shape
  std::shared_ptr<const xcb_xfixes_get_cursor_image_reply_t> image;

  [[nodiscard]] bool same_as(const CursorSample& other) const {
    return x == other.x && y == other.y && shape == other.shape;
  }
};

class X11CursorMonitor {
 public:
  // Selects the shape notifications of the root; note_shape_change() is
  // told of each.
  explicit X11CursorMonitor(std::shared_ptr<X11Connection> x);
  void note_shape_change() { shape_changes_.fetch_add(1); }

  // Where the pointer is and what it looks like; nothing when the server
  // does not say (the pointer is on another screen).
  [[nodiscard]] std::optional<CursorSample> sample();

 private:
  std::shared_ptr<X11Connection> x_;
  std::atomic<std::uint64_t> shape_changes_{0};
  Mutex mutex_;
  std::shared_ptr<const xcb_xfixes_get_cursor_image_reply_t> image_ QVX_GUARDED_BY(mutex_);
  std::uint64_t image_shape_ QVX_GUARDED_BY(mutex_) = 0;  // shape_changes_ when read
};

// Draws the cursor image (premultiplied ARGB, as XFixes gives it) over BGRA
// pixels; `left`, `top` is the image's corner in the picture.
void blend_cursor(testing::PictureView target, const xcb_xfixes_get_cursor_image_reply_t& cursor, int left, int top);

}  // namespace quorvex::platform::host::x11
