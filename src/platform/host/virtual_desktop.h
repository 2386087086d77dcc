// The host stand-in's desktop: displays, pseudo-processes and top-level
// windows that the Win32 and capture stand-ins report, and that tests change
// in-process (add, retitle, resize, hide, restyle and close windows; add and
// remove displays).
//
// A fresh desktop has two displays, in enumeration order:
//   \\.\DISPLAY1  1920x1080 at (0,0), primary, friendly name "Virtual Display"
//   \\.\DISPLAY2  1280x1024 at (1920,0), no friendly name
// and one window, owned by the pseudo-process "quorvex-virtual-app":
//   "Quorvex virtual window", outer 1296x759 at (100,100), client 1280x720
//   (8 px borders, a 31 px title bar).
// This process is present too (own_process_id()); windows created for it are
// never capture targets of the program.
//
// Displays draw nothing by themselves: the capture stand-in composes a
// display's or a window's picture when a frame is due (see scene_painter.h).
//
// Thread contract: every member may be called from any thread. Listeners run
// on the thread that made the change, after the desktop's lock is released.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/desktop_source.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::host {

inline constexpr char16_t default_window_title[] = u"Quorvex virtual window";
inline constexpr char16_t virtual_app_name[] = u"quorvex-virtual-app";

class VirtualDesktop final : public DesktopSource {
 public:
  VirtualDesktop();
  VirtualDesktop(const VirtualDesktop&) = delete;
  VirtualDesktop& operator=(const VirtualDesktop&) = delete;

  // Displays, in enumeration order.
  MonitorHandle add_display(DisplaySpec spec);
  bool remove_display(MonitorHandle display);
  [[nodiscard]] std::vector<DisplayState> displays() const override;
  [[nodiscard]] std::optional<DisplayState> display(MonitorHandle display) const override;

  // Processes.
  std::uint32_t add_process(std::u16string executable_name);
  [[nodiscard]] std::uint32_t own_process_id() const override { return own_process_id_; }
  [[nodiscard]] std::uint32_t virtual_app_process_id() const { return virtual_app_process_id_; }
  [[nodiscard]] std::optional<std::u16string> process_executable(std::uint32_t process_id) const override;

  // Windows, in z-order (the order EnumChildWindows of the desktop reports).
  WindowHandle add_window(WindowSpec spec);
  [[nodiscard]] WindowHandle default_window() const { return default_window_; }
  [[nodiscard]] WindowHandle desktop_window() const override { return WindowHandle{desktop_window_value}; }
  bool set_window_title(WindowHandle window, std::u16string title);
  // Changes the outer size; the top-left corner stays where it is.
  bool resize_window(WindowHandle window, std::int32_t width, std::int32_t height);
  bool set_window_visible(WindowHandle window, bool visible);
  // WS_CHILD / WS_EX_TOOLWINDOW and friends, as GetWindowLongPtrW reports them.
  bool set_window_styles(WindowHandle window, std::uint64_t style, std::uint64_t ex_style);
  bool close_window(WindowHandle window);
  [[nodiscard]] std::vector<WindowState> windows() const override;
  [[nodiscard]] std::optional<WindowState> window(WindowHandle window) const override;

  // Called after every change (the capture stand-in watches for items that
  // went away). Returns an id for remove_listener.
  std::uint64_t add_listener(std::function<void()> listener) override;
  void remove_listener(std::uint64_t id) override;

  // An animated scene for a display, the window's frame and animated client
  // area for a window (scene_painter.h), at every refresh while visible.
  [[nodiscard]] std::unique_ptr<PictureFeed> open_feed(CaptureTarget target) override;

  static constexpr std::uint64_t desktop_window_value = 0x00010010;

 private:
  void notify();
  // Runs `change` on the window's spec under the mutex; false when there is
  // no such window.
  template <class Change>
  bool change_window(WindowHandle window, Change change) QVX_EXCLUDES(mutex_);

  mutable Mutex mutex_;
  std::vector<DisplayState> displays_ QVX_GUARDED_BY(mutex_);
  std::vector<WindowState> windows_ QVX_GUARDED_BY(mutex_);
  std::map<std::uint32_t, std::u16string> processes_ QVX_GUARDED_BY(mutex_);
  std::uint64_t next_monitor_value_ QVX_GUARDED_BY(mutex_) = 0x00010001;
  std::uint64_t next_window_value_ QVX_GUARDED_BY(mutex_) = 0x00020010;
  std::uint32_t next_process_id_ QVX_GUARDED_BY(mutex_) = 4100;
  std::uint32_t next_path_id_ QVX_GUARDED_BY(mutex_) = 0;
  std::uint32_t own_process_id_ = 0;
  std::uint32_t virtual_app_process_id_ = 0;
  WindowHandle default_window_;

  Mutex listeners_mutex_;
  std::map<std::uint64_t, std::function<void()>> listeners_ QVX_GUARDED_BY(listeners_mutex_);
  std::uint64_t next_listener_id_ QVX_GUARDED_BY(listeners_mutex_) = 1;
};

}  // namespace quorvex::platform::host
