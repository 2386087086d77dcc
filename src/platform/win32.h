// Displays, windows, processes, the performance counter, the system timer's
// resolution and the thread message queue: one operation per Win32 call the
// program makes, in Win32's
// vocabulary. Strings the system gives in UTF-16 stay UTF-16 here; decoding
// (and its errors) happens above this boundary.
//
// A call that reports failure returns an Error whose code is the thread's
// last error as the call left it (GetLastError), which may be 0: callers that
// care about "failed with a nonzero last error" look at the code.
//
// Thread contract: every operation may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "platform/error.h"
#include "platform/handles.h"

namespace quorvex::platform {

namespace win32 {
inline constexpr std::int32_t gwl_style = -16;
inline constexpr std::int32_t gwl_exstyle = -20;
inline constexpr std::uint64_t ws_child = 0x40000000;
inline constexpr std::uint64_t ws_ex_toolwindow = 0x00000080;
inline constexpr std::uint32_t monitor_defaulttonull = 0;
inline constexpr std::uint32_t monitorinfof_primary = 1;
inline constexpr std::uint32_t enum_current_settings = 0xFFFFFFFF;
inline constexpr std::uint32_t qdc_only_active_paths = 2;
inline constexpr std::uint32_t process_query_information = 0x0400;
inline constexpr std::uint32_t process_vm_read = 0x0010;
inline constexpr std::uint32_t wm_quit = 0x0012;
inline constexpr std::uint32_t wm_timer = 0x0113;
inline constexpr std::uint32_t wm_user = 0x0400;
inline constexpr std::size_t max_path = 260;
// PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION
inline constexpr std::uint32_t process_power_throttling_ignore_timer_resolution = 0x4;
// DPI_AWARENESS_CONTEXT pseudo-handles (windef.h).
inline constexpr std::intptr_t dpi_awareness_context_per_monitor_aware_v2 = -4;
// ERROR_PROC_NOT_FOUND: the system has no such function.
inline constexpr std::uint32_t error_proc_not_found = 127;
// Record sizes the calls are given in their size fields.
inline constexpr std::uint32_t monitor_info_ex_size = 104;
inline constexpr std::uint32_t devmode_size = 220;
inline constexpr std::uint32_t source_device_name_size = 84;
inline constexpr std::uint32_t target_device_name_size = 420;
}  // namespace win32

// GetMonitorInfoW with MONITORINFOEXW.
struct MonitorInfo {
  Rect monitor;
  Rect work;
  std::uint32_t flags = 0;
  std::array<char16_t, 32> device_name{};  // CCHDEVICENAME units, 0-terminated
};

// The fields of DEVMODEW the program reads (EnumDisplaySettingsW).
struct DisplaySettings {
  std::uint32_t pels_width = 0;
  std::uint32_t pels_height = 0;
  std::uint32_t display_frequency = 0;
};

// One DISPLAYCONFIG_PATH_INFO, reduced to what the program reads.
struct DisplayConfigPath {
  LocallyUniqueId source_adapter_id;
  std::uint32_t source_id = 0;
  LocallyUniqueId target_adapter_id;
  std::uint32_t target_id = 0;
};

struct DisplayConfigBufferSizes {
  std::uint32_t path_count = 0;
  std::uint32_t mode_count = 0;
};

// MSG, reduced to what the program reads.
struct Message {
  std::uint64_t hwnd = 0;
  std::uint32_t message = 0;
  std::uint64_t wparam = 0;
  std::int64_t lparam = 0;
};

// GetMessageW's three outcomes.
enum class GetMessageResult { Message, Quit, Failed };

// A process handle from OpenProcess; CloseHandle runs in the destructor.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
  // GetModuleBaseNameW(process, NULL, buffer, size): number of units copied,
  // 0 on failure.
  [[nodiscard]] virtual std::uint32_t get_module_base_name(std::span<char16_t> buffer) = 0;
};

class Win32 {
 public:
  virtual ~Win32() = default;

  // Displays.
  // EnumDisplayMonitors(NULL, NULL, callback): the callback sees each handle
  // in enumeration order and returns whether to continue.
  [[nodiscard]] virtual Status enum_display_monitors(
      const std::function<bool(MonitorHandle)>& callback) = 0;
  [[nodiscard]] virtual Result<MonitorInfo> get_monitor_info(MonitorHandle monitor) = 0;
  [[nodiscard]] virtual MonitorHandle monitor_from_point(Point point, std::uint32_t flags) = 0;
  // EnumDisplaySettingsW(device_name, mode, &devmode) with dmSize 220.
  [[nodiscard]] virtual Result<DisplaySettings> enum_display_settings(
      std::u16string_view device_name, std::uint32_t mode) = 0;
  [[nodiscard]] virtual Result<DisplayConfigBufferSizes> get_display_config_buffer_sizes(
      std::uint32_t flags) = 0;
  // QueryDisplayConfig(flags, paths, modes, no topology id): the active paths.
  [[nodiscard]] virtual Result<std::vector<DisplayConfigPath>> query_display_config(
      std::uint32_t flags, DisplayConfigBufferSizes sizes) = 0;
  // DisplayConfigGetDeviceInfo, DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME:
  // viewGdiDeviceName, 0-terminated.
  [[nodiscard]] virtual Result<std::array<char16_t, 32>> display_config_get_source_name(
      LocallyUniqueId adapter_id, std::uint32_t source_id) = 0;
  // DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME: monitorFriendlyDeviceName,
  // 0-terminated.
  [[nodiscard]] virtual Result<std::array<char16_t, 64>> display_config_get_target_name(
      LocallyUniqueId adapter_id, std::uint32_t target_id) = 0;

  // Windows.
  [[nodiscard]] virtual WindowHandle get_desktop_window() = 0;
  // EnumChildWindows(parent, callback): see enum_display_monitors.
  [[nodiscard]] virtual Status enum_child_windows(
      WindowHandle parent, const std::function<bool(WindowHandle)>& callback) = 0;
  [[nodiscard]] virtual bool is_window_visible(WindowHandle window) = 0;
  // GetWindowThreadProcessId: the owning process id, 0 on failure.
  [[nodiscard]] virtual std::uint32_t get_window_thread_process_id(WindowHandle window) = 0;
  [[nodiscard]] virtual std::uint32_t get_current_process_id() = 0;
  [[nodiscard]] virtual Result<Rect> get_client_rect(WindowHandle window) = 0;
  [[nodiscard]] virtual Result<Rect> get_window_rect(WindowHandle window) = 0;
  [[nodiscard]] virtual std::int64_t get_window_long_ptr(WindowHandle window, std::int32_t index) = 0;
  [[nodiscard]] virtual std::int32_t get_window_text_length(WindowHandle window) = 0;
  // GetWindowTextW(window, buffer, size): units copied without the 0.
  [[nodiscard]] virtual std::int32_t get_window_text(WindowHandle window,
                                                     std::span<char16_t> buffer) = 0;
  // DwmGetWindowAttribute(window, DWMWA_CLOAKED): non-zero when the window is
  // cloaked (a suspended app's frame, a window on another virtual desktop),
  // which makes it capture as nothing although it counts as visible.
  [[nodiscard]] virtual Result<std::uint32_t> dwm_get_window_attribute_cloaked(WindowHandle window) = 0;

  // Processes. A null or invalid handle is an error.
  [[nodiscard]] virtual Result<std::unique_ptr<ProcessHandle>> open_process(
      std::uint32_t desired_access, bool inherit_handle, std::uint32_t process_id) = 0;

  // The high-resolution performance counter.
  [[nodiscard]] virtual Result<std::int64_t> query_performance_counter() = 0;
  [[nodiscard]] virtual Result<std::int64_t> query_performance_frequency() = 0;

  // The system timer that ends timed waits. timeBeginPeriod(period_ms) asks
  // for a finer tick (since Windows 10 2004 for the calling process only);
  // each success is balanced by timeEndPeriod with the same period. A
  // failure's code is the MMRESULT (TIMERR_NOCANDO). The host stand-in gives
  // the calling thread the finest timer slack instead, until the end call.
  [[nodiscard]] virtual Status time_begin_period(std::uint32_t period_ms) = 0;
  [[nodiscard]] virtual Status time_end_period(std::uint32_t period_ms) = 0;
  // SetProcessInformation(GetCurrentProcess(), ProcessPowerThrottling) with a
  // PROCESS_POWER_THROTTLING_STATE of version 1: the throttling policies in
  // control_mask are switched on where state_mask has their bit, off where
  // not.
  [[nodiscard]] virtual Status set_process_power_throttling(std::uint32_t control_mask,
                                                            std::uint32_t state_mask) = 0;
  // SetProcessDpiAwarenessContext(context) from user32, looked up at run
  // time: Windows 10 1703 brought it, so where it is missing the call fails
  // with error_proc_not_found. Fails with ERROR_ACCESS_DENIED once the
  // awareness was set (by a manifest or an earlier call).
  [[nodiscard]] virtual Status set_process_dpi_awareness_context(std::intptr_t context) = 0;

  // The calling thread's message queue.
  [[nodiscard]] virtual std::uint32_t get_current_thread_id() = 0;
  // GetMessageW(&msg, NULL, 0, 0): blocks for the next message of any window
  // of this thread or of the thread itself.
  [[nodiscard]] virtual GetMessageResult get_message(Message& message) = 0;
  virtual void translate_message(const Message& message) = 0;
  // Runs whatever the message stands for (window procedures, dispatcher
  // queue work such as capture event handlers) on the calling thread.
  virtual void dispatch_message(const Message& message) = 0;
  [[nodiscard]] virtual Status post_thread_message(std::uint32_t thread_id, std::uint32_t message,
                                                   std::uint64_t wparam, std::int64_t lparam) = 0;
  virtual void post_quit_message(std::int32_t exit_code) = 0;
  // SetTimer(NULL, 0, elapse, NULL): a timer of the calling thread whose
  // WM_TIMER messages (wparam = the returned id, hwnd 0) get_message returns
  // whenever the queue holds nothing else; KillTimer ends it. Call both on
  // the thread whose queue receives the messages.
  [[nodiscard]] virtual Result<std::uint64_t> set_timer(std::uint32_t elapse_ms) = 0;
  [[nodiscard]] virtual Status kill_timer(std::uint64_t timer_id) = 0;
};

}  // namespace quorvex::platform
