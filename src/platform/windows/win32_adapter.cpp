#include "platform/windows/win32_adapter.h"

#include <windows.h>
#include <dwmapi.h>
#include <mmsystem.h>
#include <psapi.h>

#include <cstddef>
#include <string>

#include "platform/windows/system_error.h"
#include "platform/windows/utf16.h"

namespace quorvex::platform::windows {
namespace {

HWND to_hwnd(WindowHandle window) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window.value));
}
HMONITOR to_hmonitor(MonitorHandle monitor) {
  return reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(monitor.value));
}
WindowHandle from_hwnd(HWND window) { return {reinterpret_cast<std::uintptr_t>(window)}; }
MonitorHandle from_hmonitor(HMONITOR monitor) { return {reinterpret_cast<std::uintptr_t>(monitor)}; }

Rect from_native(const RECT& rect) { return {rect.left, rect.top, rect.right, rect.bottom}; }

LUID to_native(LocallyUniqueId id) {
  LUID luid{};
  luid.LowPart = id.low_part;
  luid.HighPart = id.high_part;
  return luid;
}
LocallyUniqueId from_native(const LUID& luid) { return {luid.LowPart, luid.HighPart}; }

// The display-configuration calls return their error instead of setting the
// last error.
std::unexpected<Error> config_failure(LONG result) {
  return std::unexpected(system_error(static_cast<std::uint32_t>(result)));
}

template <std::size_t N>
std::array<char16_t, N> copy_units(const WCHAR (&source)[N]) {
  std::array<char16_t, N> units{};
  for (std::size_t i = 0; i < N; ++i) {
    units[i] = static_cast<char16_t>(source[i]);
  }
  return units;
}

BOOL CALLBACK monitor_trampoline(HMONITOR monitor, HDC, LPRECT, LPARAM context) {
  const auto& callback = *reinterpret_cast<const std::function<bool(MonitorHandle)>*>(context);
  return callback(from_hmonitor(monitor)) ? TRUE : FALSE;
}

BOOL CALLBACK window_trampoline(HWND window, LPARAM context) {
  const auto& callback = *reinterpret_cast<const std::function<bool(WindowHandle)>*>(context);
  return callback(from_hwnd(window)) ? TRUE : FALSE;
}

class Win32ProcessHandle final : public ProcessHandle {
 public:
  explicit Win32ProcessHandle(HANDLE process) : process_(process) {}
  ~Win32ProcessHandle() override { CloseHandle(process_); }
  Win32ProcessHandle(const Win32ProcessHandle&) = delete;
  Win32ProcessHandle& operator=(const Win32ProcessHandle&) = delete;

  std::uint32_t get_module_base_name(std::span<char16_t> buffer) override {
    std::wstring wide(buffer.size(), L'\0');
    const DWORD copied =
        GetModuleBaseNameW(process_, nullptr, wide.data(), static_cast<DWORD>(wide.size()));
    for (std::size_t i = 0; i < copied && i < buffer.size(); ++i) {
      buffer[i] = static_cast<char16_t>(wide[i]);
    }
    // GetModuleBaseNameW terminates the name when there is room; carry that.
    if (copied < buffer.size()) {
      buffer[copied] = u'\0';
    }
    return copied;
  }

 private:
  HANDLE process_;
};

// The MSG that get_message last returned on this thread, so dispatching it
// keeps the fields the reduced Message leaves out (time, cursor position).
thread_local MSG last_message{};

MSG to_native(const Message& message) {
  if (reinterpret_cast<std::uintptr_t>(last_message.hwnd) == message.hwnd &&
      last_message.message == message.message && last_message.wParam == message.wparam &&
      last_message.lParam == message.lparam) {
    return last_message;
  }
  MSG msg{};
  msg.hwnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(message.hwnd));
  msg.message = message.message;
  msg.wParam = static_cast<WPARAM>(message.wparam);
  msg.lParam = static_cast<LPARAM>(message.lparam);
  return msg;
}

}  // namespace

Status Win32Adapter::enum_display_monitors(const std::function<bool(MonitorHandle)>& callback) {
  SetLastError(0);
  if (!EnumDisplayMonitors(nullptr, nullptr, monitor_trampoline,
                           reinterpret_cast<LPARAM>(&callback))) {
    return last_error_failure();
  }
  return {};
}

Result<MonitorInfo> Win32Adapter::get_monitor_info(MonitorHandle monitor) {
  MONITORINFOEXW native{};
  native.cbSize = sizeof native;
  static_assert(sizeof(MONITORINFOEXW) == win32::monitor_info_ex_size);
  SetLastError(0);
  if (!GetMonitorInfoW(to_hmonitor(monitor), &native)) {
    return last_error_failure();
  }
  MonitorInfo info;
  info.monitor = from_native(native.rcMonitor);
  info.work = from_native(native.rcWork);
  info.flags = native.dwFlags;
  info.device_name = copy_units(native.szDevice);
  return info;
}

MonitorHandle Win32Adapter::monitor_from_point(Point point, std::uint32_t flags) {
  return from_hmonitor(MonitorFromPoint(POINT{point.x, point.y}, flags));
}

Result<DisplaySettings> Win32Adapter::enum_display_settings(std::u16string_view device_name,
                                                            std::uint32_t mode) {
  const std::wstring name = to_wide(device_name);
  DEVMODEW devmode{};
  static_assert(sizeof(DEVMODEW) == win32::devmode_size);
  devmode.dmSize = sizeof devmode;
  SetLastError(0);
  if (!EnumDisplaySettingsW(name.c_str(), mode, &devmode)) {
    return last_error_failure();
  }
  return DisplaySettings{devmode.dmPelsWidth, devmode.dmPelsHeight, devmode.dmDisplayFrequency};
}

Result<DisplayConfigBufferSizes> Win32Adapter::get_display_config_buffer_sizes(std::uint32_t flags) {
  UINT32 paths = 0;
  UINT32 modes = 0;
  const LONG result = GetDisplayConfigBufferSizes(flags, &paths, &modes);
  if (result != ERROR_SUCCESS) {
    return config_failure(result);
  }
  return DisplayConfigBufferSizes{paths, modes};
}

Result<std::vector<DisplayConfigPath>> Win32Adapter::query_display_config(
    std::uint32_t flags, DisplayConfigBufferSizes sizes) {
  std::vector<DISPLAYCONFIG_PATH_INFO> paths(sizes.path_count);
  std::vector<DISPLAYCONFIG_MODE_INFO> modes(sizes.mode_count);
  UINT32 path_count = sizes.path_count;
  UINT32 mode_count = sizes.mode_count;
  const LONG result =
      QueryDisplayConfig(flags, &path_count, paths.data(), &mode_count, modes.data(), nullptr);
  if (result != ERROR_SUCCESS) {
    return config_failure(result);
  }
  // The call reports how many entries it filled, which may be fewer.
  paths.resize(path_count);
  std::vector<DisplayConfigPath> reduced;
  reduced.reserve(paths.size());
  for (const auto& path : paths) {
    reduced.push_back({from_native(path.sourceInfo.adapterId), path.sourceInfo.id,
                       from_native(path.targetInfo.adapterId), path.targetInfo.id});
  }
  return reduced;
}

Result<std::array<char16_t, 32>> Win32Adapter::display_config_get_source_name(
    LocallyUniqueId adapter_id, std::uint32_t source_id) {
  DISPLAYCONFIG_SOURCE_DEVICE_NAME request{};
  static_assert(sizeof request == win32::source_device_name_size);
  request.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
  request.header.size = sizeof request;
  request.header.adapterId = to_native(adapter_id);
  request.header.id = source_id;
  const LONG result = DisplayConfigGetDeviceInfo(&request.header);
  if (result != ERROR_SUCCESS) {
    return config_failure(result);
  }
  return copy_units(request.viewGdiDeviceName);
}

Result<std::array<char16_t, 64>> Win32Adapter::display_config_get_target_name(
    LocallyUniqueId adapter_id, std::uint32_t target_id) {
  DISPLAYCONFIG_TARGET_DEVICE_NAME request{};
  static_assert(sizeof request == win32::target_device_name_size);
  request.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME;
  request.header.size = sizeof request;
  request.header.adapterId = to_native(adapter_id);
  request.header.id = target_id;
  const LONG result = DisplayConfigGetDeviceInfo(&request.header);
  if (result != ERROR_SUCCESS) {
    return config_failure(result);
  }
  return copy_units(request.monitorFriendlyDeviceName);
}

WindowHandle Win32Adapter::get_desktop_window() { return from_hwnd(GetDesktopWindow()); }

Status Win32Adapter::enum_child_windows(WindowHandle parent,
                                        const std::function<bool(WindowHandle)>& callback) {
  SetLastError(0);
  if (!EnumChildWindows(to_hwnd(parent), window_trampoline, reinterpret_cast<LPARAM>(&callback))) {
    return last_error_failure();
  }
  return {};
}

bool Win32Adapter::is_window_visible(WindowHandle window) {
  return IsWindowVisible(to_hwnd(window)) != FALSE;
}

std::uint32_t Win32Adapter::get_window_thread_process_id(WindowHandle window) {
  DWORD process_id = 0;
  if (GetWindowThreadProcessId(to_hwnd(window), &process_id) == 0) {
    return 0;
  }
  return process_id;
}

std::uint32_t Win32Adapter::get_current_process_id() { return GetCurrentProcessId(); }

Result<Rect> Win32Adapter::get_client_rect(WindowHandle window) {
  RECT rect{};
  // Cleared first so a failure that sets no error reports 0, not whatever an
  // earlier call left behind.
  SetLastError(0);
  if (!GetClientRect(to_hwnd(window), &rect)) {
    return last_error_failure();
  }
  return from_native(rect);
}

Result<Rect> Win32Adapter::get_window_rect(WindowHandle window) {
  RECT rect{};
  SetLastError(0);
  if (!GetWindowRect(to_hwnd(window), &rect)) {
    return last_error_failure();
  }
  return from_native(rect);
}

std::int64_t Win32Adapter::get_window_long_ptr(WindowHandle window, std::int32_t index) {
  return GetWindowLongPtrW(to_hwnd(window), index);
}

std::int32_t Win32Adapter::get_window_text_length(WindowHandle window) {
  return GetWindowTextLengthW(to_hwnd(window));
}

std::int32_t Win32Adapter::get_window_text(WindowHandle window, std::span<char16_t> buffer) {
  if (buffer.empty()) {
    return 0;
  }
  std::wstring wide(buffer.size(), L'\0');
  const int copied = GetWindowTextW(to_hwnd(window), wide.data(), static_cast<int>(wide.size()));
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    buffer[i] = static_cast<char16_t>(wide[i]);
  }
  return copied;
}

Result<std::unique_ptr<ProcessHandle>> Win32Adapter::open_process(std::uint32_t desired_access,
                                                                  bool inherit_handle,
                                                                  std::uint32_t process_id) {
  SetLastError(0);
  HANDLE process = OpenProcess(desired_access, inherit_handle ? TRUE : FALSE, process_id);
  if (process == nullptr || process == INVALID_HANDLE_VALUE) {
    return last_error_failure();
  }
  return std::make_unique<Win32ProcessHandle>(process);
}

Result<std::int64_t> Win32Adapter::query_performance_counter() {
  LARGE_INTEGER value{};
  if (!QueryPerformanceCounter(&value)) {
    return last_error_failure();
  }
  return value.QuadPart;
}

Result<std::int64_t> Win32Adapter::query_performance_frequency() {
  LARGE_INTEGER value{};
  if (!QueryPerformanceFrequency(&value)) {
    return last_error_failure();
  }
  return value.QuadPart;
}

Status Win32Adapter::time_begin_period(std::uint32_t period_ms) {
  if (const MMRESULT result = timeBeginPeriod(period_ms); result != TIMERR_NOERROR) {
    return std::unexpected(system_error(result));
  }
  return {};
}

Status Win32Adapter::time_end_period(std::uint32_t period_ms) {
  if (const MMRESULT result = timeEndPeriod(period_ms); result != TIMERR_NOERROR) {
    return std::unexpected(system_error(result));
  }
  return {};
}

Status Win32Adapter::set_process_power_throttling(std::uint32_t control_mask, std::uint32_t state_mask) {
  PROCESS_POWER_THROTTLING_STATE state{};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = control_mask;
  state.StateMask = state_mask;
  if (!SetProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof(state))) {
    return last_error_failure();
  }
  return {};
}

Status Win32Adapter::set_process_dpi_awareness_context(std::intptr_t context) {
  using SetContextFunction = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (user32 == nullptr) {
    return last_error_failure();
  }
  void* address = reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext"));
  if (address == nullptr) {
    return std::unexpected(system_error(win32::error_proc_not_found));
  }
  const auto set_context = reinterpret_cast<SetContextFunction>(address);
  if (!set_context(reinterpret_cast<DPI_AWARENESS_CONTEXT>(context))) {
    return last_error_failure();
  }
  return {};
}

std::uint32_t Win32Adapter::get_current_thread_id() { return GetCurrentThreadId(); }

GetMessageResult Win32Adapter::get_message(Message& message) {
  MSG msg{};
  const BOOL result = GetMessageW(&msg, nullptr, 0, 0);
  if (result == -1) {
    return GetMessageResult::Failed;
  }
  last_message = msg;
  message.hwnd = reinterpret_cast<std::uintptr_t>(msg.hwnd);
  message.message = msg.message;
  message.wparam = msg.wParam;
  message.lparam = msg.lParam;
  return result == 0 ? GetMessageResult::Quit : GetMessageResult::Message;
}

void Win32Adapter::translate_message(const Message& message) {
  const MSG msg = to_native(message);
  TranslateMessage(&msg);
}

void Win32Adapter::dispatch_message(const Message& message) {
  const MSG msg = to_native(message);
  DispatchMessageW(&msg);
}

Status Win32Adapter::post_thread_message(std::uint32_t thread_id, std::uint32_t message,
                                         std::uint64_t wparam, std::int64_t lparam) {
  SetLastError(0);
  if (!PostThreadMessageW(thread_id, message, static_cast<WPARAM>(wparam),
                          static_cast<LPARAM>(lparam))) {
    return last_error_failure();
  }
  return {};
}

void Win32Adapter::post_quit_message(std::int32_t exit_code) { PostQuitMessage(exit_code); }

Result<std::uint64_t> Win32Adapter::set_timer(std::uint32_t elapse_ms) {
  const UINT_PTR id = SetTimer(nullptr, 0, elapse_ms, nullptr);
  if (id == 0) {
    return last_error_failure();
  }
  return static_cast<std::uint64_t>(id);
}

Status Win32Adapter::kill_timer(std::uint64_t timer_id) {
  if (KillTimer(nullptr, static_cast<UINT_PTR>(timer_id)) == FALSE) {
    return last_error_failure();
  }
  return {};
}

Result<std::uint32_t> Win32Adapter::dwm_get_window_attribute_cloaked(WindowHandle window) {
  DWORD cloaked = 0;
  const HRESULT hr = DwmGetWindowAttribute(to_hwnd(window), DWMWA_CLOAKED, &cloaked, sizeof(cloaked));
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return static_cast<std::uint32_t>(cloaked);
}

}  // namespace quorvex::platform::windows
