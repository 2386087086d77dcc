// Win32 over the desktop source (desktop_source.h): displays and their
// display-configuration paths, top-level windows, pseudo-processes, the performance counter
// (steady clock in 100-ns units, frequency 10,000,000) and the per-thread
// message queues.
//
// Thread contract: every operation may be called from any thread (see
// win32.h); queue operations act on the calling thread's own queue.
#pragma once

#include <memory>

#include "platform/host/thread_message_queues.h"
#include "platform/host/desktop_source.h"
#include "platform/win32.h"

namespace quorvex::platform::host {

// The performance-counter clock: the steady clock in 100-ns units.
[[nodiscard]] std::int64_t performance_counter_now();
inline constexpr std::int64_t performance_frequency = 10'000'000;

class HostWin32 final : public Win32 {
 public:
  HostWin32(DesktopSource& desktop, std::shared_ptr<ThreadMessageQueues> queues);

  Status enum_display_monitors(const std::function<bool(MonitorHandle)>& callback) override;
  Result<MonitorInfo> get_monitor_info(MonitorHandle monitor) override;
  MonitorHandle monitor_from_point(Point point, std::uint32_t flags) override;
  Result<DisplaySettings> enum_display_settings(std::u16string_view device_name, std::uint32_t mode) override;
  Result<DisplayConfigBufferSizes> get_display_config_buffer_sizes(std::uint32_t flags) override;
  Result<std::vector<DisplayConfigPath>> query_display_config(std::uint32_t flags,
                                                              DisplayConfigBufferSizes sizes) override;
  Result<std::array<char16_t, 32>> display_config_get_source_name(LocallyUniqueId adapter_id,
                                                                  std::uint32_t source_id) override;
  Result<std::array<char16_t, 64>> display_config_get_target_name(LocallyUniqueId adapter_id,
                                                                  std::uint32_t target_id) override;

  WindowHandle get_desktop_window() override;
  Status enum_child_windows(WindowHandle parent, const std::function<bool(WindowHandle)>& callback) override;
  bool is_window_visible(WindowHandle window) override;
  std::uint32_t get_window_thread_process_id(WindowHandle window) override;
  std::uint32_t get_current_process_id() override;
  Result<Rect> get_client_rect(WindowHandle window) override;
  Result<Rect> get_window_rect(WindowHandle window) override;
  std::int64_t get_window_long_ptr(WindowHandle window, std::int32_t index) override;
  std::int32_t get_window_text_length(WindowHandle window) override;
  std::int32_t get_window_text(WindowHandle window, std::span<char16_t> buffer) override;

  Result<std::unique_ptr<ProcessHandle>> open_process(std::uint32_t desired_access, bool inherit_handle,
                                                      std::uint32_t process_id) override;

  Result<std::int64_t> query_performance_counter() override;
  Result<std::int64_t> query_performance_frequency() override;
  // Linux has no process-wide timer resolution; what decides how late a
  // timed wait ends is the waiting thread's timer slack (50 us by default),
  // so a raised resolution is a 1 ns slack on the calling thread, and its
  // end the thread's default slack again.
  Status time_begin_period(std::uint32_t period_ms) override;
  Status time_end_period(std::uint32_t period_ms) override;
  // Nothing to opt out of on Linux: succeeds.
  Status set_process_power_throttling(std::uint32_t control_mask, std::uint32_t state_mask) override;
  Status set_process_dpi_awareness_context(std::intptr_t context) override;

  std::uint32_t get_current_thread_id() override;
  GetMessageResult get_message(Message& message) override;
  void translate_message(const Message& message) override;
  void dispatch_message(const Message& message) override;
  Status post_thread_message(std::uint32_t thread_id, std::uint32_t message, std::uint64_t wparam,
                             std::int64_t lparam) override;
  void post_quit_message(std::int32_t exit_code) override;
  Result<std::uint64_t> set_timer(std::uint32_t elapse_ms) override;
  Status kill_timer(std::uint64_t timer_id) override;
  Result<std::uint32_t> dwm_get_window_attribute_cloaked(WindowHandle window) override;

  // The adapter every virtual display hangs off.
  static constexpr LocallyUniqueId adapter_id{0x0000D1A5, 0};

 private:
  DesktopSource& desktop_;
  std::shared_ptr<ThreadMessageQueues> queues_;
};

}  // namespace quorvex::platform::host
