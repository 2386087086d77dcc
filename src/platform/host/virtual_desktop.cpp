#include "platform/host/virtual_desktop.h"

#include <unistd.h>

#include <algorithm>
#include <string>

namespace quorvex::platform::host {

namespace {
// Windows process ids are multiples of 4; the pseudo-processes keep to that
// and never collide with this process's real id.
constexpr std::uint32_t process_id_step = 4;
}  // namespace

std::int32_t WindowState::client_width() const {
  return std::max(0, spec.bounds.right - spec.bounds.left - spec.frame.left - spec.frame.right);
}

std::int32_t WindowState::client_height() const {
  return std::max(0, spec.bounds.bottom - spec.bounds.top - spec.frame.top - spec.frame.bottom);
}

VirtualDesktop::VirtualDesktop() {
  own_process_id_ = static_cast<std::uint32_t>(::getpid());
  {
    // /proc/self/exe's base name is what GetModuleBaseNameW would report.
    std::string name = "quorvex-host";
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) {
      path[n] = '\0';
      std::string full(path);
      name = full.substr(full.find_last_of('/') + 1);
    }
    processes_[own_process_id_] = std::u16string(name.begin(), name.end());
  }
  add_display({u"\\\\.\\DISPLAY1", u"Virtual Display", Rect{0, 0, 1920, 1080}, true, 60});
  add_display({u"\\\\.\\DISPLAY2", u"", Rect{1920, 0, 3200, 1024}, false, 60});
  virtual_app_process_id_ = add_process(virtual_app_name);
  WindowSpec spec;
  spec.process_id = virtual_app_process_id_;
  spec.title = default_window_title;
  spec.bounds = Rect{100, 100, 100 + 1296, 100 + 759};
  default_window_ = add_window(spec);
}

MonitorHandle VirtualDesktop::add_display(DisplaySpec spec) {
  MonitorHandle handle;
  {
    const MutexLock lock(mutex_);
    handle = MonitorHandle{next_monitor_value_};
    next_monitor_value_ += 0x10000;
    const std::uint32_t path = next_path_id_++;
    displays_.push_back(DisplayState{handle, std::move(spec), path, 0x100 + path});
  }
  notify();
  return handle;
}

bool VirtualDesktop::remove_display(MonitorHandle display) {
  {
    const MutexLock lock(mutex_);
    const auto it = std::find_if(displays_.begin(), displays_.end(),
                                 [&](const DisplayState& d) { return d.handle == display; });
    if (it == displays_.end()) {
      return false;
    }
    displays_.erase(it);
  }
  notify();
  return true;
}

std::vector<DisplayState> VirtualDesktop::displays() const {
  const MutexLock lock(mutex_);
  return displays_;
}

std::optional<DisplayState> VirtualDesktop::display(MonitorHandle display) const {
  const MutexLock lock(mutex_);
  for (const DisplayState& d : displays_) {
    if (d.handle == display) {
      return d;
    }
  }
  return std::nullopt;
}

std::uint32_t VirtualDesktop::add_process(std::u16string executable_name) {
  const MutexLock lock(mutex_);
  std::uint32_t id = next_process_id_;
  while (id == own_process_id_ || processes_.contains(id)) {
    id += process_id_step;
  }
  next_process_id_ = id + process_id_step;
  processes_[id] = std::move(executable_name);
  return id;
}

std::optional<std::u16string> VirtualDesktop::process_executable(std::uint32_t process_id) const {
  const MutexLock lock(mutex_);
  const auto it = processes_.find(process_id);
  if (it == processes_.end()) {
    return std::nullopt;
  }
  return it->second;
}

WindowHandle VirtualDesktop::add_window(WindowSpec spec) {
  WindowHandle handle;
  {
    const MutexLock lock(mutex_);
    handle = WindowHandle{next_window_value_};
    next_window_value_ += 0x10;
    if (spec.visible) {
      spec.style |= ws_visible;
    } else {
      spec.style &= ~ws_visible;
    }
    // A new window comes to the top of the z-order.
    windows_.insert(windows_.begin(), WindowState{handle, std::move(spec)});
  }
  notify();
  return handle;
}

template <class Change>
bool VirtualDesktop::change_window(WindowHandle window, Change change) {
  const MutexLock lock(mutex_);
  for (WindowState& w : windows_) {
    if (w.handle == window) {
      change(w.spec);
      return true;
    }
  }
  return false;
}

bool VirtualDesktop::set_window_title(WindowHandle window, std::u16string title) {
  const bool done = change_window(window,
                                  [&](WindowSpec& s) { s.title = std::move(title); });
  if (done) notify();
  return done;
}

bool VirtualDesktop::resize_window(WindowHandle window, std::int32_t width, std::int32_t height) {
  const bool done = change_window(window, [&](WindowSpec& s) {
    s.bounds.right = s.bounds.left + std::max(0, width);
    s.bounds.bottom = s.bounds.top + std::max(0, height);
  });
  if (done) notify();
  return done;
}

bool VirtualDesktop::set_window_visible(WindowHandle window, bool visible) {
  const bool done = change_window(window, [&](WindowSpec& s) {
    s.visible = visible;
    s.style = visible ? (s.style | ws_visible) : (s.style & ~ws_visible);
  });
  if (done) notify();
  return done;
}

bool VirtualDesktop::set_window_styles(WindowHandle window, std::uint64_t style, std::uint64_t ex_style) {
  const bool done = change_window(window, [&](WindowSpec& s) {
    s.style = (style & ~ws_visible) | (s.visible ? ws_visible : 0);
    s.ex_style = ex_style;
  });
  if (done) notify();
  return done;
}

bool VirtualDesktop::close_window(WindowHandle window) {
  {
    const MutexLock lock(mutex_);
    const auto it = std::find_if(windows_.begin(), windows_.end(),
                                 [&](const WindowState& w) { return w.handle == window; });
    if (it == windows_.end()) {
      return false;
    }
    windows_.erase(it);
  }
  notify();
  return true;
}

std::vector<WindowState> VirtualDesktop::windows() const {
  const MutexLock lock(mutex_);
  return windows_;
}

std::optional<WindowState> VirtualDesktop::window(WindowHandle window) const {
  const MutexLock lock(mutex_);
  for (const WindowState& w : windows_) {
    if (w.handle == window) {
      return w;
    }
  }
  return std::nullopt;
}

std::uint64_t VirtualDesktop::add_listener(std::function<void()> listener) {
  const MutexLock lock(listeners_mutex_);
  const std::uint64_t id = next_listener_id_++;
  listeners_[id] = std::move(listener);
  return id;
}

void VirtualDesktop::remove_listener(std::uint64_t id) {
  const MutexLock lock(listeners_mutex_);
  listeners_.erase(id);
}

void VirtualDesktop::notify() {
  std::vector<std::function<void()>> copy;
  {
    const MutexLock lock(listeners_mutex_);
    for (auto& [id, listener] : listeners_) {
      copy.push_back(listener);
    }
  }
  for (auto& listener : copy) {
    listener();
  }
}

}  // namespace quorvex::platform::host
