// Where the host stand-in's displays, windows and pictures come from: the
// virtual desktop (painted by the stand-in, the default) or a real X11
// server. The Win32 and capture stand-ins talk to this interface only and
// never know which source runs; QUORVEX_DESKTOP picks one at start-up
// (create_native_platform).
//
// Thread contract: every member may be called from any thread. A feed is
// used by one thread at a time (the capture service's compositor thread) and
// may be destroyed on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics_capture.h"
#include "platform/handles.h"
#include "platform/host/host_texture.h"

namespace quorvex::platform::host {

struct DisplaySpec {
  std::u16string device_name;    // "\\.\DISPLAYn"
  std::u16string friendly_name;  // empty: the system has none
  Rect bounds;
  bool primary = false;
  std::uint32_t refresh_hz = 60;
};

struct DisplayState {
  MonitorHandle handle;
  DisplaySpec spec;
  std::uint32_t source_id = 0;  // display-configuration path ids, stable for the display's life
  std::uint32_t target_id = 0;
};

// Window frame thickness around the client area.
struct FrameInsets {
  std::int32_t left = 8;
  std::int32_t top = 31;
  std::int32_t right = 8;
  std::int32_t bottom = 8;
};

inline constexpr std::uint64_t ws_overlappedwindow_visible = 0x10CF0000;  // WS_OVERLAPPEDWINDOW | WS_VISIBLE
inline constexpr std::uint64_t ws_visible = 0x10000000;
inline constexpr std::uint64_t ws_ex_windowedge = 0x00000100;

struct WindowSpec {
  std::uint32_t process_id = 0;
  std::u16string title;
  Rect bounds;  // outer rectangle in desktop coordinates
  FrameInsets frame;
  bool visible = true;
  std::uint64_t style = ws_overlappedwindow_visible;
  std::uint64_t ex_style = ws_ex_windowedge;
};

struct WindowState {
  WindowHandle handle;
  WindowSpec spec;
  [[nodiscard]] std::int32_t client_width() const;
  [[nodiscard]] std::int32_t client_height() const;
};

// What a capture item shows, as one capture session sees it.
struct CaptureTarget {
  bool is_window = false;
  std::uint64_t handle = 0;  // a WindowHandle or MonitorHandle value
};

// How a feed's request went.
enum class FeedOutcome {
  Ok,
  TemporaryFailure,  // no picture now (the server is between two states): ask again later
  PermanentFailure,  // the display or window went away: the item is closed
};

// One capture session's view of its item's picture. The compositor polls it
// at a display refresh and paints it when it is due; a feed whose source
// tells of its changes (listeners) is polled only after such a notice, or
// at every refresh when it asks for that.
class PictureFeed {
 public:
  struct Poll {
    FeedOutcome outcome = FeedOutcome::Ok;
    bool due = false;     // a new picture of `size` is ready to paint
    wgc::SizeInt32 size{};
    // Poll again this many refreshes on even without a notice from the
    // source (the virtual desktop's scene moves all the time, a pointer has
    // no event); 0: only after a notice.
    std::uint32_t poll_after = 1;
  };

  virtual ~PictureFeed() = default;
  // `cursor`: the session draws the cursor, so its moves make a picture due.
  [[nodiscard]] virtual Poll poll(bool cursor) = 0;
  // Paints the picture polled last into the top-left of `target` (a BGRA
  // buffer of the source's create_buffer), clipped to it. `tick` is the
  // refresh count since the capture service started; the cursor is drawn
  // where the source can draw one. A temporary failure leaves the picture
  // due for the next poll.
  [[nodiscard]] virtual FeedOutcome paint(HostTexture& target, std::uint32_t tick, bool cursor) = 0;
};

class DesktopSource {
 public:
  virtual ~DesktopSource() = default;

  // Displays, in enumeration order.
  [[nodiscard]] virtual std::vector<DisplayState> displays() const = 0;
  [[nodiscard]] virtual std::optional<DisplayState> display(MonitorHandle display) const = 0;

  // Top-level windows that may be listed, in the order EnumChildWindows of
  // the desktop reports them; window() also answers for windows not listed
  // (hidden ones), and nothing for windows that are gone.
  [[nodiscard]] virtual WindowHandle desktop_window() const = 0;
  [[nodiscard]] virtual std::vector<WindowState> windows() const = 0;
  [[nodiscard]] virtual std::optional<WindowState> window(WindowHandle window) const = 0;

  [[nodiscard]] virtual std::uint32_t own_process_id() const = 0;
  [[nodiscard]] virtual std::optional<std::u16string> process_executable(std::uint32_t process_id) const = 0;

  // The picture of a display or window for one capture session.
  [[nodiscard]] virtual std::unique_ptr<PictureFeed> open_feed(CaptureTarget target) = 0;
  // A frame-pool buffer that this source's feeds paint fastest.
  [[nodiscard]] virtual Result<std::shared_ptr<HostTexture>> create_buffer(const d3d11::Texture2DDesc& desc) {
    return HostTexture::create(desc);
  }

  // Called after a change the source notices by itself (the capture service
  // wakes up to look for items that went away, and polls the feeds that wait
  // for notices). Any thread may call it. Returns an id for remove_listener.
  virtual std::uint64_t add_listener(std::function<void()> listener) = 0;
  virtual void remove_listener(std::uint64_t id) = 0;
};

}  // namespace quorvex::platform::host
