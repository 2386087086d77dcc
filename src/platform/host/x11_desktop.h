// The host desktop as a real X11 server shows it (QUORVEX_DESKTOP=x11), over
// XCB, put together from its parts:
//   - the connection and its event thread (x11_connection.h);
//   - displays: RandR 1.5 monitors (randr_monitors.h), read again when
//     RandR tells of a change and at most once a second otherwise;
//   - windows: the window model (x11_window_model.h). A minimised window
//     keeps its capture and sends nothing until it is restored, as on
//     Windows; a window that is destroyed or withdrawn (unmapped without
//     being minimised) is gone: its capture item closes;
//   - pictures: the pixel reader (x11_pixel_reader.h) reads the root
//     (displays, with the cursor of x11_cursor_monitor.h drawn in) or the
//     Composite pixmap of a window's top-level ancestor (the window
//     manager's frame, if any, as Windows shows a window with its frame;
//     contents even when covered).
// Nothing is polled while nothing changes: Damage, structure and RandR
// notifications call the listeners, and a feed is due only after Damage
// reports a change, a resize or (display sessions showing the cursor, whose
// position has no event) a pointer move.
//
// Thread contract: every member may be called from any thread (XCB
// serialises the connection); a feed as desktop_source.h says, and no feed
// outlives its desktop.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "platform/host/desktop_source.h"

namespace quorvex::platform::host {

namespace x11 {
class X11Connection;
struct DesktopParts;
}  // namespace x11

class X11Desktop final : public DesktopSource {
 public:
  // Connects to the display DISPLAY names. The error is the program's
  // message, e.g. "cannot open X display ':5'".
  [[nodiscard]] static std::expected<std::unique_ptr<X11Desktop>, std::string> open();
  explicit X11Desktop(std::shared_ptr<x11::X11Connection> connection);
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
  // Called on the event thread after a notification: damage, a watched
  // window's change, a RandR change.
  std::uint64_t add_listener(std::function<void()> listener) override;
  void remove_listener(std::uint64_t id) override;

 private:
  std::unique_ptr<x11::DesktopParts> parts_;
};

}  // namespace quorvex::platform::host
