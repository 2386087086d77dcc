#include "platform/host/host_win32.h"

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>

#include "platform/host/host_status.h"

namespace quorvex::platform::host {

namespace {
constexpr std::uint32_t monitor_defaulttoprimary = 1;
constexpr std::uint32_t monitor_defaulttonearest = 2;
// The work area leaves room for a taskbar on the primary display.
constexpr std::int32_t taskbar_height = 48;

template <std::size_t N>
std::array<char16_t, N> fixed_string(std::u16string_view text) {
  std::array<char16_t, N> out{};
  const std::size_t n = std::min(text.size(), N - 1);
  std::copy_n(text.begin(), n, out.begin());
  return out;
}

class HostProcessHandle final : public ProcessHandle {
 public:
  explicit HostProcessHandle(std::u16string name) : name_(std::move(name)) {}
  std::uint32_t get_module_base_name(std::span<char16_t> buffer) override {
    if (buffer.empty()) {
      return 0;
    }
    // GetModuleBaseNameW truncates to the buffer and always terminates.
    const std::size_t n = std::min(name_.size(), buffer.size() - 1);
    std::copy_n(name_.begin(), n, buffer.begin());
    buffer[n] = u'\0';
    return static_cast<std::uint32_t>(n);
  }

 private:
  std::u16string name_;
};
}  // namespace

std::int64_t performance_counter_now() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>>(since)
      .count();
}

HostWin32::HostWin32(DesktopSource& desktop, std::shared_ptr<ThreadMessageQueues> queues)
    : desktop_(desktop), queues_(std::move(queues)) {}

Status HostWin32::enum_display_monitors(const std::function<bool(MonitorHandle)>& callback) {
  for (const DisplayState& d : desktop_.displays()) {
    if (!callback(d.handle)) {
      break;
    }
  }
  return {};
}

Result<MonitorInfo> HostWin32::get_monitor_info(MonitorHandle monitor) {
  const auto d = desktop_.display(monitor);
  if (!d) {
    return host_fail(status::error_invalid_monitor_handle);
  }
  MonitorInfo info;
  info.monitor = d->spec.bounds;
  info.work = d->spec.bounds;
  if (d->spec.primary) {
    info.work.bottom = std::max(info.work.top, info.work.bottom - taskbar_height);
    info.flags = win32::monitorinfof_primary;
  }
  info.device_name = fixed_string<32>(d->spec.device_name);
  return info;
}

MonitorHandle HostWin32::monitor_from_point(Point point, std::uint32_t flags) {
  const auto displays = desktop_.displays();
  for (const DisplayState& d : displays) {
    const Rect& r = d.spec.bounds;
    if (point.x >= r.left && point.x < r.right && point.y >= r.top && point.y < r.bottom) {
      return d.handle;
    }
  }
  if (flags == monitor_defaulttoprimary || flags == monitor_defaulttonearest) {
    for (const DisplayState& d : displays) {
      if (d.spec.primary) {
        return d.handle;
      }
    }
  }
  return MonitorHandle{};
}

Result<DisplaySettings> HostWin32::enum_display_settings(std::u16string_view device_name, std::uint32_t mode) {
  for (const DisplayState& d : desktop_.displays()) {
    if (d.spec.device_name == device_name) {
      // One mode per display: the current one, also reachable as mode 0.
      if (mode != win32::enum_current_settings && mode != 0) {
        break;
      }
      return DisplaySettings{static_cast<std::uint32_t>(d.spec.bounds.right - d.spec.bounds.left),
                             static_cast<std::uint32_t>(d.spec.bounds.bottom - d.spec.bounds.top),
                             d.spec.refresh_hz};
    }
  }
  return host_fail(status::error_invalid_parameter);
}

Result<DisplayConfigBufferSizes> HostWin32::get_display_config_buffer_sizes(std::uint32_t flags) {
  if (flags != win32::qdc_only_active_paths) {
    return host_fail(status::error_invalid_parameter);
  }
  const auto count = static_cast<std::uint32_t>(desktop_.displays().size());
  // A source mode and a target mode per path.
  return DisplayConfigBufferSizes{count, 2 * count};
}

Result<std::vector<DisplayConfigPath>> HostWin32::query_display_config(std::uint32_t flags,
                                                                       DisplayConfigBufferSizes sizes) {
  if (flags != win32::qdc_only_active_paths) {
    return host_fail(status::error_invalid_parameter);
  }
  const auto displays = desktop_.displays();
  if (sizes.path_count < displays.size() || sizes.mode_count < 2 * displays.size()) {
    return host_fail(status_code::error_insufficient_buffer);
  }
  std::vector<DisplayConfigPath> paths;
  for (const DisplayState& d : displays) {
    paths.push_back(DisplayConfigPath{adapter_id, d.source_id, adapter_id, d.target_id});
  }
  return paths;
}

Result<std::array<char16_t, 32>> HostWin32::display_config_get_source_name(LocallyUniqueId adapter,
                                                                           std::uint32_t source_id) {
  if (adapter == adapter_id) {
    for (const DisplayState& d : desktop_.displays()) {
      if (d.source_id == source_id) {
        return fixed_string<32>(d.spec.device_name);
      }
    }
  }
  return host_fail(status::error_invalid_parameter);
}

Result<std::array<char16_t, 64>> HostWin32::display_config_get_target_name(LocallyUniqueId adapter,
                                                                           std::uint32_t target_id) {
  if (adapter == adapter_id) {
    for (const DisplayState& d : desktop_.displays()) {
      if (d.target_id == target_id) {
        return fixed_string<64>(d.spec.friendly_name);
      }
    }
  }
  return host_fail(status::error_invalid_parameter);
}

WindowHandle HostWin32::get_desktop_window() { return desktop_.desktop_window(); }

Status HostWin32::enum_child_windows(WindowHandle parent, const std::function<bool(WindowHandle)>& callback) {
  if (parent == desktop_.desktop_window()) {
    for (const WindowState& w : desktop_.windows()) {
      if (!callback(w.handle)) {
        break;
      }
    }
    return {};
  }
  if (!desktop_.window(parent)) {
    return host_fail(status::error_invalid_window_handle);
  }
  return {};  // top-level windows of the virtual desktop have no children
}

bool HostWin32::is_window_visible(WindowHandle window) {
  const auto w = desktop_.window(window);
  return w && w->spec.visible;
}

std::uint32_t HostWin32::get_window_thread_process_id(WindowHandle window) {
  const auto w = desktop_.window(window);
  return w ? w->spec.process_id : 0;
}

std::uint32_t HostWin32::get_current_process_id() { return desktop_.own_process_id(); }

Result<Rect> HostWin32::get_client_rect(WindowHandle window) {
  const auto w = desktop_.window(window);
  if (!w) {
    return host_fail(status::error_invalid_window_handle);
  }
  return Rect{0, 0, w->client_width(), w->client_height()};
}

Result<Rect> HostWin32::get_window_rect(WindowHandle window) {
  const auto w = desktop_.window(window);
  if (!w) {
    return host_fail(status::error_invalid_window_handle);
  }
  return w->spec.bounds;
}

std::int64_t HostWin32::get_window_long_ptr(WindowHandle window, std::int32_t index) {
  const auto w = desktop_.window(window);
  if (!w) {
    return 0;
  }
  if (index == win32::gwl_style) {
    return static_cast<std::int64_t>(w->spec.style);
  }
  if (index == win32::gwl_exstyle) {
    return static_cast<std::int64_t>(w->spec.ex_style);
  }
  return 0;
}

std::int32_t HostWin32::get_window_text_length(WindowHandle window) {
  const auto w = desktop_.window(window);
  return w ? static_cast<std::int32_t>(w->spec.title.size()) : 0;
}

std::int32_t HostWin32::get_window_text(WindowHandle window, std::span<char16_t> buffer) {
  const auto w = desktop_.window(window);
  if (!w || buffer.empty()) {
    return 0;
  }
  const std::size_t n = std::min(w->spec.title.size(), buffer.size() - 1);
  std::copy_n(w->spec.title.begin(), n, buffer.begin());
  buffer[n] = u'\0';
  return static_cast<std::int32_t>(n);
}

Result<std::unique_ptr<ProcessHandle>> HostWin32::open_process(std::uint32_t, bool, std::uint32_t process_id) {
  auto name = desktop_.process_executable(process_id);
  if (!name) {
    return host_fail(status::error_invalid_parameter);
  }
  return std::make_unique<HostProcessHandle>(std::move(*name));
}

Result<std::int64_t> HostWin32::query_performance_counter() { return performance_counter_now(); }

Result<std::int64_t> HostWin32::query_performance_frequency() { return performance_frequency; }

Status HostWin32::time_begin_period(std::uint32_t period_ms) {
  if (period_ms == 0) {
    return host_fail(status::timerr_nocando);
  }
  // The finest slack the kernel takes (0 would mean "the default").
  constexpr unsigned long finest_slack_ns = 1;
  if (prctl(PR_SET_TIMERSLACK, finest_slack_ns, 0, 0, 0) != 0) {
    return host_fail(status::e_fail);
  }
  return {};
}

Status HostWin32::time_end_period(std::uint32_t period_ms) {
  if (period_ms == 0) {
    return host_fail(status::timerr_nocando);
  }
  constexpr unsigned long default_slack = 0;
  if (prctl(PR_SET_TIMERSLACK, default_slack, 0, 0, 0) != 0) {
    return host_fail(status::e_fail);
  }
  return {};
}

Status HostWin32::set_process_power_throttling(std::uint32_t, std::uint32_t) { return {}; }

// The desktop sources report physical pixels already: nothing to switch.
Status HostWin32::set_process_dpi_awareness_context(std::intptr_t) { return {}; }

std::uint32_t HostWin32::get_current_thread_id() { return ThreadMessageQueues::current_thread_id(); }

GetMessageResult HostWin32::get_message(Message& message) { return queues_->get(message); }

void HostWin32::translate_message(const Message&) {}

void HostWin32::dispatch_message(const Message& message) { queues_->dispatch(message); }

Status HostWin32::post_thread_message(std::uint32_t thread_id, std::uint32_t message, std::uint64_t wparam,
                                      std::int64_t lparam) {
  return queues_->post(thread_id, Message{0, message, wparam, lparam});
}

void HostWin32::post_quit_message(std::int32_t exit_code) { queues_->post_quit(exit_code); }

Result<std::uint64_t> HostWin32::set_timer(std::uint32_t elapse_ms) {
  // USER_TIMER_MINIMUM: shorter periods are raised to 10 ms.
  return queues_->set_timer(std::chrono::milliseconds(std::max<std::uint32_t>(elapse_ms, 10)));
}

Status HostWin32::kill_timer(std::uint64_t timer_id) {
  if (!queues_->kill_timer(timer_id)) {
    return host_fail(status_code::error_invalid_timer_id);
  }
  return {};
}

// The host desktop has no compositor that could cloak a window.
Result<std::uint32_t> HostWin32::dwm_get_window_attribute_cloaked(WindowHandle) { return 0u; }

}  // namespace quorvex::platform::host
