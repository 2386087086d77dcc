// The X11 desktop's windows as Win32 sees windows:
//   - listed: the window manager's _NET_CLIENT_LIST, else the top-level
//     children of the root; viewable and minimised (iconic) windows only;
//   - title from _NET_WM_NAME or WM_NAME, process from _NET_WM_PID, outer
//     rectangle from _NET_FRAME_EXTENTS;
//   - a minimised window (unmapped with WM_STATE IconicState, as ICCCM
//     window managers leave it) is visible, as IsWindowVisible says of a
//     minimised window; any other unmapped window is hidden. Override-redirect
//     windows (menus, tooltips) are never found.
// Windows being captured are watched (StructureNotify): their moves, resizes,
// maps, unmaps, reparents and destruction advance changes(), so a feed asks
// the server again only after one.
//
// Thread contract: every member may be called from any thread.
#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/host/desktop_source.h"
#include "platform/host/x11_connection.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::host::x11 {

struct X11Window {
  WindowState state;
  bool viewable = false;  // mapped with all its ancestors: it has a picture
  bool iconic = false;    // minimised: unmapped, WM_STATE IconicState
};

class X11WindowModel {
 public:
  explicit X11WindowModel(std::shared_ptr<X11Connection> x);

  // The structure notifications (watch()) that tell of a change.
  static constexpr std::uint8_t notifications[] = {XCB_CONFIGURE_NOTIFY, XCB_MAP_NOTIFY, XCB_UNMAP_NOTIFY,
                                                   XCB_DESTROY_NOTIFY, XCB_REPARENT_NOTIFY};
  void note_change() { changes_.fetch_add(1); }

  // A top-level window of an ordinary kind; nothing when it is gone (or is
  // the root, an override-redirect or input-only window, or has no area).
  [[nodiscard]] std::optional<X11Window> describe(xcb_window_t window) const;
  // The listed windows, topmost first.
  [[nodiscard]] std::vector<WindowState> list() const;
  // The ancestor of `window` that is a child of the root (itself when it is
  // one; a window manager's frame when it reparented the window).
  [[nodiscard]] xcb_window_t top_level(xcb_window_t window) const;

  // Counted: a window watched twice stays watched until unwatched twice.
  void watch(xcb_window_t window);
  void unwatch(xcb_window_t window);
  // Structure notifications of watched windows so far.
  [[nodiscard]] std::uint64_t changes() const { return changes_.load(); }

 private:
  std::shared_ptr<X11Connection> x_;
  Mutex mutex_;
  std::map<xcb_window_t, int> watched_ QVX_GUARDED_BY(mutex_);
  std::atomic<std::uint64_t> changes_{0};
};

}  // namespace quorvex::platform::host::x11
