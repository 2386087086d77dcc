#include "platform/fake/fake_win32.h"

#include <algorithm>
#include <cstdio>

namespace quorvex::platform::fake {
namespace {

template <std::size_t N>
std::array<char16_t, N> to_fixed(std::u16string_view text) {
  std::array<char16_t, N> out{};
  const std::size_t count = std::min(text.size(), N - 1);
  std::copy_n(text.begin(), count, out.begin());
  return out;
}

bool contains(const Rect& rect, Point point) {
  return point.x >= rect.left && point.x < rect.right && point.y >= rect.top && point.y < rect.bottom;
}

class FakeProcessHandle final : public ProcessHandle {
 public:
  FakeProcessHandle(FakeProcess process, std::shared_ptr<std::atomic<int>> open_handles)
      : process_(std::move(process)), open_handles_(std::move(open_handles)) {
    ++*open_handles_;
  }
  ~FakeProcessHandle() override { --*open_handles_; }

  std::uint32_t get_module_base_name(std::span<char16_t> buffer) override {
    if (process_.module_name_fails || buffer.empty()) {
      return 0;
    }
    const std::size_t count = std::min(process_.module_base_name.size(), buffer.size() - 1);
    std::copy_n(process_.module_base_name.begin(), count, buffer.begin());
    buffer[count] = 0;
    return static_cast<std::uint32_t>(count);
  }

 private:
  FakeProcess process_;
  std::shared_ptr<std::atomic<int>> open_handles_;
};

}  // namespace

FakeWin32::FakeWin32() = default;
FakeWin32::~FakeWin32() = default;

void FakeWin32::add_display(FakeDisplay display) {
  const MutexLock lock(mutex_);
  displays_.push_back(std::move(display));
}

void FakeWin32::add_display_path(FakeDisplayPath path) {
  const MutexLock lock(mutex_);
  paths_.push_back(std::move(path));
}

void FakeWin32::add_window(FakeWindow window) {
  const MutexLock lock(mutex_);
  windows_.push_back(std::move(window));
}

void FakeWin32::set_window_title(WindowHandle window, std::u16string title) {
  const MutexLock lock(mutex_);
  for (FakeWindow& w : windows_) {
    if (w.handle == window) {
      w.title = std::move(title);
    }
  }
}

void FakeWin32::add_process(FakeProcess process) {
  const MutexLock lock(mutex_);
  processes_[process.id] = std::move(process);
}

void FakeWin32::set_current_process_id(std::uint32_t id) {
  const MutexLock lock(mutex_);
  current_process_id_ = id;
}

std::uint32_t FakeWin32::current_process_id() const {
  const MutexLock lock(mutex_);
  return current_process_id_;
}

int FakeWin32::open_process_handles() const { return open_handles_->load(); }

std::uint32_t FakeWin32::last_open_process_access() const {
  const MutexLock lock(mutex_);
  return last_open_access_;
}

void FakeWin32::set_performance_counter(std::int64_t value, std::int64_t frequency) {
  const MutexLock lock(mutex_);
  counter_value_ = value;
  counter_frequency_ = frequency;
}

void FakeWin32::set_get_message_timeout(std::chrono::milliseconds timeout) {
  const MutexLock lock(mutex_);
  get_message_timeout_ = timeout;
}

int FakeWin32::get_message_timeouts() const {
  const MutexLock lock(mutex_);
  return get_message_timeouts_;
}

std::vector<std::int32_t> FakeWin32::quit_exit_codes() const {
  const MutexLock lock(mutex_);
  return quit_codes_;
}

const FakeWindow* FakeWin32::find_window_locked(WindowHandle window) const {
  for (const FakeWindow& w : windows_) {
    if (w.handle == window) {
      return &w;
    }
  }
  return nullptr;
}

Status FakeWin32::enum_display_monitors(const std::function<bool(MonitorHandle)>& callback) {
  if (auto d = faults_.on_call("enum_display_monitors"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  std::vector<MonitorHandle> handles;
  {
    const MutexLock lock(mutex_);
    for (const FakeDisplay& display : displays_) {
      handles.push_back(display.handle);
    }
  }
  for (MonitorHandle handle : handles) {
    if (!callback(handle)) {
      break;
    }
  }
  return {};
}

Result<MonitorInfo> FakeWin32::get_monitor_info(MonitorHandle monitor) {
  if (auto d = faults_.on_call("get_monitor_info"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  for (const FakeDisplay& display : displays_) {
    if (display.handle == monitor && !display.monitor_info_fails) {
      MonitorInfo info;
      info.monitor = display.rect;
      info.work = display.rect;
      info.flags = display.primary ? win32::monitorinfof_primary : 0;
      info.device_name = to_fixed<32>(display.device_name);
      return info;
    }
  }
  return fail(status::error_invalid_monitor_handle);
}

MonitorHandle FakeWin32::monitor_from_point(Point point, std::uint32_t flags) {
  if (auto d = faults_.on_call("monitor_from_point"); !d.normal()) {
    return {};
  }
  const MutexLock lock(mutex_);
  for (const FakeDisplay& display : displays_) {
    if (contains(display.rect, point)) {
      return display.handle;
    }
  }
  if (flags != win32::monitor_defaulttonull && !displays_.empty()) {
    return displays_.front().handle;
  }
  return {};
}

Result<DisplaySettings> FakeWin32::enum_display_settings(std::u16string_view device_name, std::uint32_t mode) {
  if (auto d = faults_.on_call("enum_display_settings"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  for (const FakeDisplay& display : displays_) {
    if (display.device_name == device_name && display.settings && mode == win32::enum_current_settings) {
      return *display.settings;
    }
  }
  return fail(status::error_invalid_parameter);
}

Result<DisplayConfigBufferSizes> FakeWin32::get_display_config_buffer_sizes(std::uint32_t flags) {
  if (auto d = faults_.on_call("get_display_config_buffer_sizes"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  if (flags != win32::qdc_only_active_paths) {
    return fail(status::error_invalid_parameter);
  }
  const MutexLock lock(mutex_);
  const auto paths = static_cast<std::uint32_t>(paths_.size());
  // Each active path has a source mode and a target mode.
  return DisplayConfigBufferSizes{paths, 2 * paths};
}

Result<std::vector<DisplayConfigPath>> FakeWin32::query_display_config(std::uint32_t flags,
                                                                     DisplayConfigBufferSizes sizes) {
  if (auto d = faults_.on_call("query_display_config"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  if (flags != win32::qdc_only_active_paths) {
    return fail(status::error_invalid_parameter);
  }
  const MutexLock lock(mutex_);
  if (sizes.path_count < paths_.size()) {
    return fail(error_insufficient_buffer);
  }
  std::vector<DisplayConfigPath> out;
  for (const FakeDisplayPath& p : paths_) {
    out.push_back(p.path);
  }
  return out;
}

Result<std::array<char16_t, 32>> FakeWin32::display_config_get_source_name(LocallyUniqueId adapter_id,
                                                                         std::uint32_t source_id) {
  if (auto d = faults_.on_call("display_config_get_source_name"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  for (const FakeDisplayPath& p : paths_) {
    if (p.path.source_adapter_id == adapter_id && p.path.source_id == source_id && p.source_gdi_name) {
      return to_fixed<32>(*p.source_gdi_name);
    }
  }
  return fail(status::error_invalid_parameter);
}

Result<std::array<char16_t, 64>> FakeWin32::display_config_get_target_name(LocallyUniqueId adapter_id,
                                                                         std::uint32_t target_id) {
  if (auto d = faults_.on_call("display_config_get_target_name"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  for (const FakeDisplayPath& p : paths_) {
    const bool adapter_matches = p.path.source_adapter_id == adapter_id || p.path.target_adapter_id == adapter_id;
    if (adapter_matches && p.path.target_id == target_id && p.target_friendly_name) {
      return to_fixed<64>(*p.target_friendly_name);
    }
  }
  return fail(status::error_invalid_parameter);
}

WindowHandle FakeWin32::get_desktop_window() {
  static_cast<void>(faults_.on_call("get_desktop_window"));
  return desktop_window;
}

Status FakeWin32::enum_child_windows(WindowHandle parent, const std::function<bool(WindowHandle)>& callback) {
  if (auto d = faults_.on_call("enum_child_windows"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  std::vector<WindowHandle> handles;
  if (parent == desktop_window) {
    const MutexLock lock(mutex_);
    for (const FakeWindow& w : windows_) {
      handles.push_back(w.handle);
    }
  }
  for (WindowHandle handle : handles) {
    if (!callback(handle)) {
      break;
    }
  }
  return {};
}

bool FakeWin32::is_window_visible(WindowHandle window) {
  static_cast<void>(faults_.on_call("is_window_visible"));
  const MutexLock lock(mutex_);
  const FakeWindow* w = find_window_locked(window);
  return w != nullptr && w->visible;
}

std::uint32_t FakeWin32::get_window_thread_process_id(WindowHandle window) {
  if (auto d = faults_.on_call("get_window_thread_process_id"); !d.normal()) {
    return 0;
  }
  const MutexLock lock(mutex_);
  const FakeWindow* w = find_window_locked(window);
  return w != nullptr ? w->process_id : 0;
}

std::uint32_t FakeWin32::get_current_process_id() {
  static_cast<void>(faults_.on_call("get_current_process_id"));
  const MutexLock lock(mutex_);
  return current_process_id_;
}

Result<Rect> FakeWin32::get_client_rect(WindowHandle window) {
  if (auto d = faults_.on_call("get_client_rect"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  const FakeWindow* w = find_window_locked(window);
  if (w == nullptr) {
    return fail(status::error_invalid_window_handle);
  }
  if (w->client_rect_error) {
    return fail(*w->client_rect_error);
  }
  return w->client_rect;
}

Result<Rect> FakeWin32::get_window_rect(WindowHandle window) {
  if (auto d = faults_.on_call("get_window_rect"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  const FakeWindow* w = find_window_locked(window);
  if (w == nullptr || w->window_rect_fails) {
    return fail(status::error_invalid_window_handle);
  }
  return w->window_rect;
}

std::int64_t FakeWin32::get_window_long_ptr(WindowHandle window, std::int32_t index) {
  static_cast<void>(faults_.on_call("get_window_long_ptr"));
  const MutexLock lock(mutex_);
  const FakeWindow* w = find_window_locked(window);
  if (w == nullptr) {
    return 0;
  }
  if (index == win32::gwl_style) {
    return static_cast<std::int64_t>(w->style);
  }
  if (index == win32::gwl_exstyle) {
    return static_cast<std::int64_t>(w->ex_style);
  }
  return 0;
}

std::int32_t FakeWin32::get_window_text_length(WindowHandle window) {
  static_cast<void>(faults_.on_call("get_window_text_length"));
  const MutexLock lock(mutex_);
  const FakeWindow* w = find_window_locked(window);
  return w == nullptr ? 0 : static_cast<std::int32_t>(w->title.size());
}

std::int32_t FakeWin32::get_window_text(WindowHandle window, std::span<char16_t> buffer) {
  if (auto d = faults_.on_call("get_window_text"); !d.normal()) {
    return 0;
  }
  const MutexLock lock(mutex_);
  const FakeWindow* w = find_window_locked(window);
  if (w == nullptr || w->title_copy_fails || buffer.empty()) {
    return 0;
  }
  const std::size_t count = std::min(w->title.size(), buffer.size() - 1);
  std::copy_n(w->title.begin(), count, buffer.begin());
  buffer[count] = 0;
  return static_cast<std::int32_t>(count);
}

Result<std::unique_ptr<ProcessHandle>> FakeWin32::open_process(std::uint32_t desired_access, bool inherit_handle,
                                                               std::uint32_t process_id) {
  static_cast<void>(inherit_handle);
  const auto d = faults_.on_call("open_process");
  if (d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  last_open_access_ = desired_access;
  const auto it = processes_.find(process_id);
  if (it == processes_.end()) {
    return fail(status::error_invalid_parameter);
  }
  if (it->second.open_error) {
    return fail(*it->second.open_error);
  }
  if (d.outcome == FaultPlan::Outcome::Empty) {
    return std::unique_ptr<ProcessHandle>();
  }
  return std::unique_ptr<ProcessHandle>(std::make_unique<FakeProcessHandle>(it->second, open_handles_));
}

Result<std::int64_t> FakeWin32::query_performance_counter() {
  if (auto d = faults_.on_call("query_performance_counter"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  return counter_value_;
}

Result<std::int64_t> FakeWin32::query_performance_frequency() {
  if (auto d = faults_.on_call("query_performance_frequency"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  return counter_frequency_;
}

std::vector<std::uint32_t> FakeWin32::timer_periods() const {
  const MutexLock lock(mutex_);
  return timer_periods_;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> FakeWin32::power_throttling() const {
  const MutexLock lock(mutex_);
  return power_throttling_;
}

Status FakeWin32::time_begin_period(std::uint32_t period_ms) {
  if (auto d = faults_.on_call("time_begin_period"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  if (period_ms == 0) {
    return fail(status::timerr_nocando);
  }
  const MutexLock lock(mutex_);
  timer_periods_.push_back(period_ms);
  return {};
}

Status FakeWin32::time_end_period(std::uint32_t period_ms) {
  if (auto d = faults_.on_call("time_end_period"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  const auto begun = std::ranges::find(timer_periods_, period_ms);
  if (begun == timer_periods_.end()) {
    return fail(status::timerr_nocando);
  }
  timer_periods_.erase(begun);
  return {};
}

Status FakeWin32::set_process_power_throttling(std::uint32_t control_mask, std::uint32_t state_mask) {
  if (auto d = faults_.on_call("set_process_power_throttling"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  power_throttling_ = std::pair{control_mask, state_mask};
  return {};
}

std::optional<std::intptr_t> FakeWin32::dpi_awareness_context() const {
  const MutexLock lock(mutex_);
  return dpi_awareness_context_;
}

Status FakeWin32::set_process_dpi_awareness_context(std::intptr_t context) {
  if (auto d = faults_.on_call("set_process_dpi_awareness_context"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  if (dpi_awareness_context_) {
    return fail(status::error_access_denied);
  }
  dpi_awareness_context_ = context;
  return {};
}

std::uint32_t FakeWin32::thread_id_locked() {
  // Thread ids start well above 0 so that 0 never names a thread.
  constexpr std::uint32_t first_thread_id = 0x1000;
  const auto [it, inserted] =
      thread_ids_.try_emplace(std::this_thread::get_id(), first_thread_id + static_cast<std::uint32_t>(thread_ids_.size()));
  return it->second;
}

void FakeWin32::create_message_queue() {
  const MutexLock lock(mutex_);
  queues_.try_emplace(thread_id_locked());
}

std::uint32_t FakeWin32::get_current_thread_id() {
  static_cast<void>(faults_.on_call("get_current_thread_id"));
  const MutexLock lock(mutex_);
  return thread_id_locked();
}

GetMessageResult FakeWin32::get_message(Message& message) {
  if (auto d = faults_.on_call("get_message"); d.outcome == FaultPlan::Outcome::Fail) {
    return GetMessageResult::Failed;
  }
  MutexLock lock(mutex_);
  Queue& queue = queues_[thread_id_locked()];
  const auto give_up = std::chrono::steady_clock::now() + get_message_timeout_;
  for (;;) {
    if (!queue.messages.empty() || queue.quit_requested) {
      break;
    }
    const auto now = std::chrono::steady_clock::now();
    Timer* next = nullptr;
    std::uint64_t next_id = 0;
    for (auto& [id, timer] : queue.timers) {
      if (next == nullptr || timer.due < next->due) {
        next = &timer;
        next_id = id;
      }
    }
    // Like Windows, a due timer yields one WM_TIMER however late it is.
    if (next != nullptr && next->due <= now) {
      next->due = now + next->elapse;
      message = Message{0, win32::wm_timer, next_id, 0};
      return GetMessageResult::Message;
    }
    if (now >= give_up) {
      ++get_message_timeouts_;
      std::fputs("fake win32: get_message timed out waiting for a message\n", stderr);
      return GetMessageResult::Failed;
    }
    lock.wait_until(queue_changed_, next != nullptr ? std::min(next->due, give_up) : give_up);
  }
  // PostQuitMessage's quit comes only once the posted messages are gone.
  if (queue.messages.empty()) {
    queue.quit_requested = false;
    message = Message{0, win32::wm_quit, static_cast<std::uint64_t>(queue.quit_code), 0};
    return GetMessageResult::Quit;
  }
  message = queue.messages.front();
  queue.messages.pop_front();
  return message.message == win32::wm_quit ? GetMessageResult::Quit : GetMessageResult::Message;
}

void FakeWin32::translate_message(const Message& message) {
  static_cast<void>(message);
  static_cast<void>(faults_.on_call("translate_message"));
}

void FakeWin32::dispatch_message(const Message& message) {
  static_cast<void>(faults_.on_call("dispatch_message"));
  if (message.message != task_message) {
    return;
  }
  std::function<void()> task;
  {
    const MutexLock lock(mutex_);
    const auto it = tasks_.find(message.wparam);
    if (it == tasks_.end()) {
      return;
    }
    task = std::move(it->second);
    tasks_.erase(it);
  }
  task();
}

Status FakeWin32::post_task(std::uint32_t thread_id, std::function<void()> task) {
  const MutexLock lock(mutex_);
  const auto it = queues_.find(thread_id);
  if (it == queues_.end()) {
    return fail(error_invalid_thread_id);
  }
  const std::uint64_t number = next_task_++;
  tasks_.emplace(number, std::move(task));
  it->second.messages.push_back(Message{0, task_message, number, 0});
  queue_changed_.notify_all();
  return {};
}

Status FakeWin32::post_thread_message(std::uint32_t thread_id, std::uint32_t message, std::uint64_t wparam,
                                      std::int64_t lparam) {
  if (auto d = faults_.on_call("post_thread_message"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  // PostThreadMessageW is a USER call itself: the caller has a queue now.
  queues_.try_emplace(thread_id_locked());
  const auto it = queues_.find(thread_id);
  if (it == queues_.end()) {
    return fail(error_invalid_thread_id);
  }
  it->second.messages.push_back(Message{0, message, wparam, lparam});
  queue_changed_.notify_all();
  return {};
}

Result<std::uint64_t> FakeWin32::set_timer(std::uint32_t elapse_ms) {
  if (auto d = faults_.on_call("set_timer"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  // USER_TIMER_MINIMUM: shorter periods are raised to 10 ms.
  const std::chrono::milliseconds elapse{std::max<std::uint32_t>(elapse_ms, 10)};
  const MutexLock lock(mutex_);
  const std::uint64_t id = next_timer_++;
  queues_[thread_id_locked()].timers[id] = Timer{elapse, std::chrono::steady_clock::now() + elapse};
  queue_changed_.notify_all();
  return id;
}

Status FakeWin32::kill_timer(std::uint64_t timer_id) {
  if (auto d = faults_.on_call("kill_timer"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  if (queues_[thread_id_locked()].timers.erase(timer_id) == 0) {
    return fail(error_invalid_timer_id);
  }
  return {};
}

std::size_t FakeWin32::live_timers() const {
  const MutexLock lock(mutex_);
  std::size_t count = 0;
  for (const auto& [thread, queue] : queues_) {
    count += queue.timers.size();
  }
  return count;
}

Result<std::uint32_t> FakeWin32::dwm_get_window_attribute_cloaked(WindowHandle window) {
  if (auto d = faults_.on_call("dwm_get_window_attribute_cloaked"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  const FakeWindow* w = find_window_locked(window);
  if (w == nullptr) {
    return fail(status::e_handle);
  }
  // DWM_CLOAKED_SHELL: the shell hid it (another desktop, a suspended app).
  constexpr std::uint32_t dwm_cloaked_shell = 2;
  return w->cloaked ? dwm_cloaked_shell : 0u;
}

void FakeWin32::post_quit_message(std::int32_t exit_code) {
  static_cast<void>(faults_.on_call("post_quit_message"));
  const MutexLock lock(mutex_);
  Queue& queue = queues_[thread_id_locked()];
  queue.quit_requested = true;
  queue.quit_code = exit_code;
  quit_codes_.push_back(exit_code);
  queue_changed_.notify_all();
}

}  // namespace quorvex::platform::fake
