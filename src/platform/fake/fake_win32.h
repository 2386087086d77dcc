// A scriptable fake of the Win32 area: a desktop of displays (device names,
// display-config paths with friendly names, current settings), top-level
// windows (visibility, owning process, rectangles, styles, UTF-16 titles
// including unpaired surrogates), processes (module names, open failures),
// the performance counter, the timer-resolution requests it was given (an
// end without its begin fails, as on Windows), and a real per-thread message
// queue so a message
// loop runs as it would on Windows: post_task() queues work that
// dispatch_message() runs on the queue's thread. Thread timers (SetTimer)
// run on the real clock: get_message hands out WM_TIMER when a timer is due
// and no posted message waits, as Windows does.
//
// Every operation first asks faults() under its own method name
// ("enum_display_monitors", "get_client_rect", "post_thread_message", ...),
// so a test can make it fail with a code, fail at its Nth call or succeed
// without an object, and count its calls.
//
// Thread contract: every member may be called from any thread. Callbacks of
// the enumerations run without the fake's lock, so they may call back in.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fake/fault_plan.h"
#include "platform/thread_safety.h"
#include "platform/win32.h"

namespace quorvex::platform::fake {

struct FakeDisplay {
  MonitorHandle handle;
  std::u16string device_name;  // "\\.\DISPLAY1"
  Rect rect{0, 0, 1920, 1080};
  bool primary = false;
  // Current settings; absent makes EnumDisplaySettingsW fail.
  std::optional<DisplaySettings> settings = DisplaySettings{1920, 1080, 60};
  bool monitor_info_fails = false;
};

// One active display-config path and what its two name requests answer.
struct FakeDisplayPath {
  DisplayConfigPath path;
  std::optional<std::u16string> source_gdi_name;       // absent: the request fails
  std::optional<std::u16string> target_friendly_name;  // absent: the request fails
};

struct FakeWindow {
  WindowHandle handle;
  bool visible = true;
  std::uint32_t process_id = 0;
  Rect client_rect{0, 0, 800, 600};
  // GetClientRect fails with this last error (which may be 0).
  std::optional<std::uint32_t> client_rect_error;
  Rect window_rect{0, 0, 800, 600};
  bool window_rect_fails = false;
  std::uint64_t style = 0;
  std::uint64_t ex_style = 0;
  std::u16string title;
  bool title_copy_fails = false;  // GetWindowTextW returns 0
  // DWMWA_CLOAKED: visible to IsWindowVisible yet shown nowhere (a suspended
  // app's frame, a window on another virtual desktop).
  bool cloaked = false;
};

struct FakeProcess {
  std::uint32_t id = 0;
  std::u16string module_base_name;
  std::optional<std::uint32_t> open_error;  // OpenProcess fails with this last error
  bool module_name_fails = false;           // GetModuleBaseNameW returns 0
};

class FakeWin32 final : public Win32 {
 public:
  // The message that carries a posted task; wparam is the task's number.
  static constexpr std::uint32_t task_message = 0x8000 + 0x51;  // WM_APP range
  static constexpr WindowHandle desktop_window{0x10010};
  static constexpr std::uint32_t error_invalid_thread_id = 1444;
  static constexpr std::uint32_t error_invalid_timer_id = 1468;
  static constexpr std::uint32_t error_insufficient_buffer = 122;

  FakeWin32();
  ~FakeWin32() override;

  [[nodiscard]] FaultPlan& faults() { return faults_; }

  // The desktop.
  void add_display(FakeDisplay display);
  void add_display_path(FakeDisplayPath path);
  void add_window(FakeWindow window);
  void set_window_title(WindowHandle window, std::u16string title);
  void add_process(FakeProcess process);
  void set_current_process_id(std::uint32_t id);
  [[nodiscard]] std::uint32_t current_process_id() const;
  // OpenProcess handles not yet closed.
  [[nodiscard]] int open_process_handles() const;
  [[nodiscard]] std::uint32_t last_open_process_access() const;

  void set_performance_counter(std::int64_t value, std::int64_t frequency);

  // Periods begun and not yet ended, in the order begun.
  [[nodiscard]] std::vector<std::uint32_t> timer_periods() const;
  // The last power-throttling state set: control mask, state mask.
  [[nodiscard]] std::optional<std::pair<std::uint32_t, std::uint32_t>> power_throttling() const;
  // The DPI awareness the process declared; like Windows, a second
  // declaration is refused with ERROR_ACCESS_DENIED.
  [[nodiscard]] std::optional<std::intptr_t> dpi_awareness_context() const;

  // A thread has a message queue only once it made a USER call (Microsoft,
  // PostThreadMessageW: "The system creates a thread's message queue when
  // the thread makes its first call to one of the User or GDI functions";
  // posting to a thread without one fails with ERROR_INVALID_THREAD_ID).
  // Here those calls are get_message, post_thread_message, set_timer,
  // kill_timer and post_quit_message; GetCurrentThreadId is not one. Other fakes whose
  // objects live in the thread's queue (the dispatcher queue controller)
  // create it with this.
  void create_message_queue();
  // Queues `task` on the thread's message queue; dispatch_message runs it on
  // that thread. Fails like PostThreadMessageW for a thread without a queue.
  [[nodiscard]] Status post_task(std::uint32_t thread_id, std::function<void()> task);
  // A get_message that waits longer than this returns Failed, so a test
  // whose session never ends fails instead of hanging.
  void set_get_message_timeout(std::chrono::milliseconds timeout);
  // How often get_message gave up that way.
  [[nodiscard]] int get_message_timeouts() const;
  // Thread timers not yet killed, on every thread.
  [[nodiscard]] std::size_t live_timers() const;
  // Exit codes passed to post_quit_message, in order.
  [[nodiscard]] std::vector<std::int32_t> quit_exit_codes() const;

  // Win32.
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
  Status time_begin_period(std::uint32_t period_ms) override;
  Status time_end_period(std::uint32_t period_ms) override;
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

 private:
  struct Timer {
    std::chrono::milliseconds elapse{0};
    std::chrono::steady_clock::time_point due;
  };
  struct Queue {
    std::deque<Message> messages;
    bool quit_requested = false;
    std::int32_t quit_code = 0;
    std::map<std::uint64_t, Timer> timers;
  };

  [[nodiscard]] std::uint32_t thread_id_locked();
  [[nodiscard]] const FakeWindow* find_window_locked(WindowHandle window) const;

  FaultPlan faults_;
  mutable Mutex mutex_;
  std::condition_variable queue_changed_;
  std::vector<FakeDisplay> displays_;
  std::vector<FakeDisplayPath> paths_;
  std::vector<FakeWindow> windows_;
  std::map<std::uint32_t, FakeProcess> processes_;
  std::uint32_t current_process_id_ = 4242;
  std::shared_ptr<std::atomic<int>> open_handles_ = std::make_shared<std::atomic<int>>(0);
  std::uint32_t last_open_access_ = 0;
  std::int64_t counter_value_ = 0;
  std::int64_t counter_frequency_ = 10'000'000;
  std::vector<std::uint32_t> timer_periods_;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> power_throttling_;
  std::optional<std::intptr_t> dpi_awareness_context_;
  std::map<std::thread::id, std::uint32_t> thread_ids_;
  std::map<std::uint32_t, Queue> queues_;
  std::map<std::uint64_t, std::function<void()>> tasks_;
  std::uint64_t next_task_ = 1;
  std::uint64_t next_timer_ = 1;
  std::vector<std::int32_t> quit_codes_;
  std::chrono::milliseconds get_message_timeout_{std::chrono::seconds(30)};
  int get_message_timeouts_ = 0;
};

}  // namespace quorvex::platform::fake
