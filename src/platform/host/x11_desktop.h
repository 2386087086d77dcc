// The host desktop as a real X11 server shows it (QUORVEX_DESKTOP=x11), over
// XCB:
//   - displays: RandR 1.5 monitors (randr_monitors.h);
//   - windows: the window manager's _NET_CLIENT_LIST, else the viewable
//     top-level children of the root; title from _NET_WM_NAME or WM_NAME,
//     process from _NET_WM_PID, outer rectangle from _NET_FRAME_EXTENTS.
//     Override-redirect and unmapped windows are neither listed nor found;
//   - pictures: XShm reads of the root (displays, with the XFixes cursor
//     drawn in) or of the Composite pixmap of a window's top-level ancestor
//     (the window manager's frame, if any, as Windows shows a window with its
//     frame; contents even when covered), due only after Damage reports a
//     change, a resize or a cursor move. A window that is destroyed or
//     unmapped is gone: its capture item closes.
// The server writes pixels straight into the frame-pool buffers (memfd
// textures passed to MIT-SHM 1.2) when their rows are laid out alike; else
// they take one copy from a segment of the feed's own (or from a plain
// GetImage reply when the server has no MIT-SHM).
//
// Thread contract: every member may be called from any thread (XCB
// serialises the connection); a feed as desktop_source.h says.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/host/desktop_source.h"

namespace quorvex::platform::host {

struct X11Connection;

class X11Desktop final : public DesktopSource {
 public:
  // Connects to the display DISPLAY names. The error is the program's
  // message, e.g. "cannot open X display ':5'".
  [[nodiscard]] static std::expected<std::unique_ptr<X11Desktop>, std::string> open();
  explicit X11Desktop(std::shared_ptr<X11Connection> connection);
  ~X11Desktop() override;

  std::vector<DisplayState> displays() const override;
  std::optional<DisplayState> display(MonitorHandle display) const override;
  WindowHandle desktop_window() const override;
  std::vector<WindowState> windows() const override;
  std::optional<WindowState> window(WindowHandle window) const override;
  std::uint32_t own_process_id() const override;
  std::optional<std::u16string> process_executable(std::uint32_t process_id) const override;
  std::unique_ptr<PictureFeed> open_feed(CaptureTarget target) override;
  // Shareable buffers when the server takes segments as file descriptors.
  Result<std::shared_ptr<HostTexture>> create_buffer(const d3d11::Texture2DDesc& desc) override;
  // The X11 desktop is polled at every refresh; it never calls listeners.
  std::uint64_t add_listener(std::function<void()>) override { return 0; }
  void remove_listener(std::uint64_t) override {}

 private:
  std::shared_ptr<X11Connection> x_;
};

}  // namespace quorvex::platform::host
