#include "platform/fake/fake_graphics_capture.h"

#include <thread>
#include <type_traits>

namespace quorvex::platform::fake {
namespace {

using Outcome = FaultPlan::Outcome;

class FakeDirect3DDevice final : public wgc::Direct3DDevice {};
// Holds one usage of the multithreaded apartment until released.
class FakeMtaUsageCookie final : public wgc::MtaUsageCookie {
 public:
  explicit FakeMtaUsageCookie(std::shared_ptr<FakeApartments> apartments) : apartments_(std::move(apartments)) {
    apartments_->add_mta_usage();
  }
  ~FakeMtaUsageCookie() override { apartments_->release_mta_usage(); }
  FakeMtaUsageCookie(const FakeMtaUsageCookie&) = delete;
  FakeMtaUsageCookie& operator=(const FakeMtaUsageCookie&) = delete;

 private:
  std::shared_ptr<FakeApartments> apartments_;
};
class FakeResource final : public d3d11::Resource {};

class FakeFrameTexture final : public d3d11::Texture2D {
 public:
  explicit FakeFrameTexture(d3d11::Texture2DDesc desc) : desc_(desc) {}
  d3d11::Texture2DDesc get_desc() override { return desc_; }
  Result<std::shared_ptr<d3d11::Resource>> query_resource() override {
    return std::shared_ptr<d3d11::Resource>(std::make_shared<FakeResource>());
  }

 private:
  d3d11::Texture2DDesc desc_;
};

class FakeSurface final : public wgc::Direct3DSurface {
 public:
  FakeSurface(std::shared_ptr<FaultPlan> faults, wgc::SizeInt32 buffer_size)
      : faults_(std::move(faults)), buffer_size_(buffer_size) {}
  Result<std::shared_ptr<d3d11::Texture2D>> get_texture() override {
    const auto d = faults_->on_call("surface.get_texture");
    if (d.outcome == Outcome::Fail) {
      return fail(d.code);
    }
    if (d.outcome == Outcome::Empty) {
      return std::shared_ptr<d3d11::Texture2D>();
    }
    d3d11::Texture2DDesc desc;
    desc.width = static_cast<std::uint32_t>(buffer_size_.width);
    desc.height = static_cast<std::uint32_t>(buffer_size_.height);
    desc.format = d3d11::Format::B8G8R8A8Unorm;
    return std::shared_ptr<d3d11::Texture2D>(std::make_shared<FakeFrameTexture>(desc));
  }

 private:
  std::shared_ptr<FaultPlan> faults_;
  wgc::SizeInt32 buffer_size_;
};

class FakeCaptureFrame final : public wgc::CaptureFrame {
 public:
  FakeCaptureFrame(std::shared_ptr<FaultPlan> faults, FakeFrame composed, wgc::SizeInt32 buffer_size,
                   std::shared_ptr<std::atomic<int>> released)
      : faults_(std::move(faults)), composed_(composed), buffer_size_(buffer_size), released_(std::move(released)) {}
  ~FakeCaptureFrame() override { ++*released_; }

  Result<std::shared_ptr<wgc::Direct3DSurface>> get_surface() override {
    const auto d = faults_->on_call("frame.get_surface");
    if (d.outcome == Outcome::Fail) {
      return fail(d.code);
    }
    if (d.outcome == Outcome::Empty) {
      return std::shared_ptr<wgc::Direct3DSurface>();
    }
    return std::shared_ptr<wgc::Direct3DSurface>(std::make_shared<FakeSurface>(faults_, buffer_size_));
  }
  Result<std::int64_t> get_system_relative_time() override {
    if (const auto d = faults_->on_call("frame.get_system_relative_time"); d.outcome == Outcome::Fail) {
      return fail(d.code);
    }
    return composed_.system_relative_time_100ns;
  }
  Result<wgc::SizeInt32> get_content_size() override {
    if (const auto d = faults_->on_call("frame.get_content_size"); d.outcome == Outcome::Fail) {
      return fail(d.code);
    }
    return composed_.content_size;
  }
  Status close() override {
    if (const auto d = faults_->on_call("frame.close"); d.outcome == Outcome::Fail) {
      return fail(d.code);
    }
    return {};
  }

 private:
  std::shared_ptr<FaultPlan> faults_;
  FakeFrame composed_;
  wgc::SizeInt32 buffer_size_;
  std::shared_ptr<std::atomic<int>> released_;
};

class FakeAsyncAction final : public wgc::AsyncAction {
 public:
  FakeAsyncAction(std::shared_ptr<FaultPlan> faults, FakeWin32& win32, std::uint32_t thread,
                  std::shared_ptr<std::atomic<int>> completed, bool elsewhere)
      : faults_(std::move(faults)),
        win32_(win32),
        thread_(thread),
        completed_(std::move(completed)),
        elsewhere_(elsewhere) {}

  // The queue finishes its shutdown on its own thread, so the completion
  // runs there, from the message loop.
  Status put_completed(CompletedHandler handler) override {
    if (const auto d = faults_->on_call("action.put_completed"); d.outcome == Outcome::Fail) {
      return fail(d.code);
    }
    if (elsewhere_) {
      std::thread([handler = std::move(handler), completed = completed_] {
        ++*completed;
        handler(wgc::AsyncStatus::Completed);
      }).detach();
      return {};
    }
    return win32_.post_task(thread_, [handler = std::move(handler), completed = completed_] {
      ++*completed;
      handler(wgc::AsyncStatus::Completed);
    });
  }

 private:
  std::shared_ptr<FaultPlan> faults_;
  FakeWin32& win32_;
  std::uint32_t thread_;
  std::shared_ptr<std::atomic<int>> completed_;
  bool elsewhere_;
};

class FakeDispatcherQueueController final : public wgc::DispatcherQueueController {
 public:
  FakeDispatcherQueueController(std::shared_ptr<FaultPlan> faults, FakeWin32& win32, std::uint32_t thread,
                                std::shared_ptr<std::atomic<int>> completed,
                                std::shared_ptr<FakeGraphicsCapture::DispatcherThreads> dispatcher_threads, bool elsewhere)
      : faults_(std::move(faults)),
        win32_(win32),
        thread_(thread),
        completed_(std::move(completed)),
        dispatcher_threads_(std::move(dispatcher_threads)),
        elsewhere_(elsewhere) {
    const MutexLock lock(dispatcher_threads_->mutex);
    dispatcher_threads_->threads.insert(thread_);
  }
  ~FakeDispatcherQueueController() override {
    const MutexLock lock(dispatcher_threads_->mutex);
    dispatcher_threads_->threads.erase(dispatcher_threads_->threads.find(thread_));
  }
  FakeDispatcherQueueController(const FakeDispatcherQueueController&) = delete;
  FakeDispatcherQueueController& operator=(const FakeDispatcherQueueController&) = delete;

  Result<std::shared_ptr<wgc::AsyncAction>> shutdown_queue_async() override {
    const auto d = faults_->on_call("controller.shutdown_queue_async");
    if (d.outcome == Outcome::Fail) {
      return fail(d.code);
    }
    if (d.outcome == Outcome::Empty) {
      return std::shared_ptr<wgc::AsyncAction>();
    }
    return std::shared_ptr<wgc::AsyncAction>(
        std::make_shared<FakeAsyncAction>(faults_, win32_, thread_, completed_, elsewhere_));
  }

 private:
  std::shared_ptr<FaultPlan> faults_;
  FakeWin32& win32_;
  std::uint32_t thread_;
  std::shared_ptr<std::atomic<int>> completed_;
  std::shared_ptr<FakeGraphicsCapture::DispatcherThreads> dispatcher_threads_;
  bool elsewhere_;
};

}  // namespace

// Item.

Result<wgc::SizeInt32> FakeCaptureItem::get_size() {
  if (const auto d = faults_->on_call("item.get_size"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  return size_;
}

Result<wgc::EventRegistrationToken> FakeCaptureItem::add_closed(ClosedHandler handler) {
  if (const auto d = faults_->on_call("item.add_closed"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  const std::int64_t token = next_token_++;
  handlers_.emplace(token, std::make_shared<std::decay_t<decltype(handler)>>(std::move(handler)));
  return wgc::EventRegistrationToken{token};
}

Status FakeCaptureItem::remove_closed(wgc::EventRegistrationToken token) {
  if (const auto d = faults_->on_call("item.remove_closed"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  std::shared_ptr<ClosedHandler> removed;  // released outside the lock
  const MutexLock lock(mutex_);
  if (const auto it = handlers_.find(token.value); it != handlers_.end()) {
    removed = std::move(it->second);
    handlers_.erase(it);
  }
  return {};
}

void FakeCaptureItem::raise_closed() {
  std::vector<std::shared_ptr<ClosedHandler>> handlers;
  {
    const MutexLock lock(mutex_);
    for (const auto& [token, handler] : handlers_) {
      handlers.push_back(handler);
    }
  }
  for (const auto& handler : handlers) {
    static_cast<void>((*handler)());
  }
}

std::size_t FakeCaptureItem::closed_handlers() const {
  const MutexLock lock(mutex_);
  return handlers_.size();
}

void FakeCaptureItem::set_size(wgc::SizeInt32 size) {
  const MutexLock lock(mutex_);
  size_ = size;
}

// Frame pool.

FakeCaptureFramePool::FakeCaptureFramePool(std::shared_ptr<FaultPlan> faults, FakeWin32& win32,
                                           std::uint32_t owner_thread, wgc::SizeInt32 size,
                                           std::vector<FakeCaptureEvent> script)
    : faults_(std::move(faults)), win32_(win32), owner_thread_(owner_thread), size_(size), script_(std::move(script)) {}

Status FakeCaptureFramePool::recreate(wgc::Direct3DDevice& device, std::int32_t pixel_format,
                                      std::int32_t number_of_buffers, wgc::SizeInt32 size) {
  static_cast<void>(device);
  static_cast<void>(pixel_format);
  static_cast<void>(number_of_buffers);
  if (const auto d = faults_->on_call("pool.recreate"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  size_ = size;
  recreations_.push_back(size);
  return {};
}

Result<std::shared_ptr<wgc::CaptureFrame>> FakeCaptureFramePool::try_get_next_frame() {
  const auto d = faults_->on_call("pool.try_get_next_frame");
  if (d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  if (d.outcome == Outcome::Empty || ready_.empty()) {
    return std::shared_ptr<wgc::CaptureFrame>();
  }
  const FakeFrame composed = ready_.front();
  ready_.erase(ready_.begin());
  ++taken_;
  return std::shared_ptr<wgc::CaptureFrame>(std::make_shared<FakeCaptureFrame>(faults_, composed, size_, released_));
}

Result<wgc::EventRegistrationToken> FakeCaptureFramePool::add_frame_arrived(FrameArrivedHandler handler) {
  if (const auto d = faults_->on_call("pool.add_frame_arrived"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  const std::int64_t token = next_token_++;
  handlers_.emplace(token, std::make_shared<std::decay_t<decltype(handler)>>(std::move(handler)));
  return wgc::EventRegistrationToken{token};
}

Status FakeCaptureFramePool::remove_frame_arrived(wgc::EventRegistrationToken token) {
  if (const auto d = faults_->on_call("pool.remove_frame_arrived"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  std::shared_ptr<FrameArrivedHandler> removed;  // released outside the lock
  const MutexLock lock(mutex_);
  if (const auto it = handlers_.find(token.value); it != handlers_.end()) {
    removed = std::move(it->second);
    handlers_.erase(it);
  }
  return {};
}

Result<std::shared_ptr<wgc::CaptureSession>> FakeCaptureFramePool::create_capture_session(wgc::CaptureItem& item) {
  const auto d = faults_->on_call("pool.create_capture_session");
  if (d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  if (d.outcome == Outcome::Empty) {
    return std::shared_ptr<wgc::CaptureSession>();
  }
  std::weak_ptr<FakeCaptureItem> fake_item;
  if (auto* as_fake = dynamic_cast<FakeCaptureItem*>(&item)) {
    fake_item = as_fake->weak_from_this();
  }
  std::vector<FakeCaptureEvent> script;
  {
    const MutexLock lock(mutex_);
    script = script_;
  }
  auto session = std::make_shared<FakeCaptureSession>(faults_, win32_, weak_from_this(), fake_item, std::move(script));
  const MutexLock lock(mutex_);
  session_ = session;
  return std::shared_ptr<wgc::CaptureSession>(session);
}

Status FakeCaptureFramePool::close() {
  if (const auto d = faults_->on_call("pool.close"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  closed_ = true;
  ready_.clear();
  return {};
}

Status FakeCaptureFramePool::arrive(FakeFrame frame) {
  {
    const MutexLock lock(mutex_);
    if (closed_) {
      return {};
    }
    ready_.push_back(frame);
  }
  return win32_.post_task(owner_thread_, [weak = weak_from_this()] {
    if (auto pool = weak.lock()) {
      pool->raise_frame_arrived();
    }
  });
}

void FakeCaptureFramePool::raise_frame_arrived() {
  std::vector<std::shared_ptr<FrameArrivedHandler>> handlers;
  {
    const MutexLock lock(mutex_);
    if (closed_) {
      return;
    }
    for (const auto& [token, handler] : handlers_) {
      handlers.push_back(handler);
    }
  }
  for (const auto& handler : handlers) {
    static_cast<void>((*handler)(*this));
  }
}

std::vector<wgc::SizeInt32> FakeCaptureFramePool::recreations() const {
  const MutexLock lock(mutex_);
  return recreations_;
}

wgc::SizeInt32 FakeCaptureFramePool::buffer_size() const {
  const MutexLock lock(mutex_);
  return size_;
}

bool FakeCaptureFramePool::closed() const {
  const MutexLock lock(mutex_);
  return closed_;
}

std::size_t FakeCaptureFramePool::frame_arrived_handlers() const {
  const MutexLock lock(mutex_);
  return handlers_.size();
}

int FakeCaptureFramePool::frames_taken() const {
  const MutexLock lock(mutex_);
  return taken_;
}

// Session.

Status FakeCaptureSession::start_capture() {
  if (const auto d = faults_->on_call("session.start_capture"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  {
    const MutexLock lock(mutex_);
    started_ = true;
  }
  auto pool = pool_.lock();
  if (!pool) {
    return {};
  }
  for (const FakeCaptureEvent& event : script_) {
    if (const auto* frame = std::get_if<FakeFrame>(&event)) {
      if (auto arrived = pool->arrive(*frame); !arrived) {
        return arrived;
      }
    } else {
      auto posted = win32_.post_task(pool->owner_thread(), [item = item_] {
        if (auto alive = item.lock()) {
          alive->raise_closed();
        }
      });
      if (!posted) {
        return posted;
      }
    }
  }
  return {};
}

Status FakeCaptureSession::put_is_cursor_capture_enabled(bool enabled) {
  if (const auto d = faults_->on_call("session.put_is_cursor_capture_enabled"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  cursor_ = enabled;
  return {};
}

Status FakeCaptureSession::put_is_border_required(bool required) {
  if (const auto d = faults_->on_call("session.put_is_border_required"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  border_ = required;
  return {};
}

Status FakeCaptureSession::close() {
  if (const auto d = faults_->on_call("session.close"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  closed_ = true;
  return {};
}

bool FakeCaptureSession::started() const {
  const MutexLock lock(mutex_);
  return started_;
}

bool FakeCaptureSession::closed() const {
  const MutexLock lock(mutex_);
  return closed_;
}

std::optional<bool> FakeCaptureSession::cursor_capture_enabled() const {
  const MutexLock lock(mutex_);
  return cursor_;
}

std::optional<bool> FakeCaptureSession::border_required() const {
  const MutexLock lock(mutex_);
  return border_;
}

// The capture service.

FakeGraphicsCapture::FakeGraphicsCapture(FakeWin32& win32, std::shared_ptr<FakeApartments> apartments)
    : win32_(win32), apartments_(std::move(apartments)) {}

Status FakeGraphicsCapture::require_apartment() const {
  if (const std::uint32_t code = apartments_->activation_status(); code != status::ok) {
    return fail(code);
  }
  return {};
}

void FakeGraphicsCapture::set_ro_initialize_result(std::uint32_t code) {
  const MutexLock lock(mutex_);
  ro_initialize_result_ = code;
}

void FakeGraphicsCapture::set_property_present(std::string_view property, bool present) {
  const MutexLock lock(mutex_);
  properties_[std::string(property)] = present;
}

void FakeGraphicsCapture::set_api_contract_present(bool present) {
  const MutexLock lock(mutex_);
  contract_present_ = present;
}

void FakeGraphicsCapture::set_supported(bool supported) {
  const MutexLock lock(mutex_);
  supported_ = supported;
}

void FakeGraphicsCapture::set_item_size(wgc::SizeInt32 size) {
  const MutexLock lock(mutex_);
  item_size_ = size;
}

void FakeGraphicsCapture::script_on_start(std::vector<FakeCaptureEvent> events) {
  const MutexLock lock(mutex_);
  script_ = std::move(events);
}

std::vector<FakeGraphicsCapture::CreatedItem> FakeGraphicsCapture::created_items() const {
  const MutexLock lock(mutex_);
  return items_;
}

std::shared_ptr<FakeCaptureFramePool> FakeGraphicsCapture::last_frame_pool() const {
  const MutexLock lock(mutex_);
  return last_pool_;
}

std::shared_ptr<FakeCaptureSession> FakeGraphicsCapture::last_session() const {
  const MutexLock lock(mutex_);
  return last_pool_ ? last_pool_->last_session() : nullptr;
}

std::shared_ptr<FakeCaptureSession> FakeCaptureFramePool::last_session() const {
  const MutexLock lock(mutex_);
  return session_;
}

std::optional<FakeGraphicsCapture::PoolCreation> FakeGraphicsCapture::last_pool_creation() const {
  const MutexLock lock(mutex_);
  return last_pool_creation_;
}

Result<std::uint32_t> FakeGraphicsCapture::ro_initialize_multithreaded() {
  if (const auto d = faults_->on_call("ro_initialize_multithreaded"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(mutex_);
  if (!status::failed(ro_initialize_result_)) {
    apartments_->enter();
  }
  return ro_initialize_result_;
}

Result<std::shared_ptr<wgc::MtaUsageCookie>> FakeGraphicsCapture::co_increment_mta_usage() {
  const auto d = faults_->on_call("co_increment_mta_usage");
  if (d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  if (d.outcome == Outcome::Empty) {
    return std::shared_ptr<wgc::MtaUsageCookie>();
  }
  return std::shared_ptr<wgc::MtaUsageCookie>(std::make_shared<FakeMtaUsageCookie>(apartments_));
}

Result<std::shared_ptr<wgc::DispatcherQueueController>> FakeGraphicsCapture::create_dispatcher_queue_controller(
    const wgc::DispatcherQueueOptions& options) {
  const auto d = faults_->on_call("create_dispatcher_queue_controller");
  if (d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  if (d.outcome == Outcome::Empty) {
    return std::shared_ptr<wgc::DispatcherQueueController>();
  }
  if (options.size != 12 || options.thread_type != wgc::DispatcherQueueThreadType::Current) {
    return fail(status::e_invalidarg);
  }
  // The queue runs in the thread's message loop, so the thread has a
  // message queue from now on.
  win32_.create_message_queue();
  return std::shared_ptr<wgc::DispatcherQueueController>(std::make_shared<FakeDispatcherQueueController>(
      faults_, win32_, win32_.get_current_thread_id(), completed_shutdowns_, dispatcher_threads_,
      shutdown_completes_elsewhere_));
}

Result<bool> FakeGraphicsCapture::is_property_present(std::string_view type_name, std::string_view property_name) {
  if (const auto d = faults_->on_call("is_property_present"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  if (auto s = require_apartment(); !s) {
    return std::unexpected(s.error());
  }
  if (type_name != wgc::graphics_capture_session_type) {
    return false;
  }
  const MutexLock lock(mutex_);
  const auto it = properties_.find(property_name);
  return it == properties_.end() || it->second;
}

Result<bool> FakeGraphicsCapture::is_api_contract_present_by_major(std::string_view contract_name,
                                                                   std::uint16_t major_version) {
  static_cast<void>(major_version);
  if (const auto d = faults_->on_call("is_api_contract_present_by_major"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  if (auto s = require_apartment(); !s) {
    return std::unexpected(s.error());
  }
  const MutexLock lock(mutex_);
  return contract_name == wgc::universal_api_contract && contract_present_;
}

Result<bool> FakeGraphicsCapture::is_supported() {
  if (const auto d = faults_->on_call("is_supported"); d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  if (auto s = require_apartment(); !s) {
    return std::unexpected(s.error());
  }
  const MutexLock lock(mutex_);
  return supported_;
}

Result<std::shared_ptr<wgc::CaptureItem>> FakeGraphicsCapture::create_item(
    const char* operation, std::variant<WindowHandle, MonitorHandle> source) {
  const auto d = faults_->on_call(operation);
  if (d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  if (auto s = require_apartment(); !s) {
    return std::unexpected(s.error());
  }
  if (d.outcome == Outcome::Empty) {
    return std::shared_ptr<wgc::CaptureItem>();
  }
  const MutexLock lock(mutex_);
  auto item = std::make_shared<FakeCaptureItem>(faults_, item_size_);
  items_.push_back(CreatedItem{source, item});
  return std::shared_ptr<wgc::CaptureItem>(item);
}

Result<std::shared_ptr<wgc::CaptureItem>> FakeGraphicsCapture::create_for_window(WindowHandle window) {
  return create_item("create_for_window", window);
}

Result<std::shared_ptr<wgc::CaptureItem>> FakeGraphicsCapture::create_for_monitor(MonitorHandle monitor) {
  return create_item("create_for_monitor", monitor);
}

Result<std::shared_ptr<wgc::Direct3DDevice>> FakeGraphicsCapture::create_direct3d11_device_from_dxgi_device(
    d3d11::DxgiDevice& dxgi_device) {
  static_cast<void>(dxgi_device);
  const auto d = faults_->on_call("create_direct3d11_device_from_dxgi_device");
  if (d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  if (auto s = require_apartment(); !s) {
    return std::unexpected(s.error());
  }
  if (d.outcome == Outcome::Empty) {
    return std::shared_ptr<wgc::Direct3DDevice>();
  }
  return std::shared_ptr<wgc::Direct3DDevice>(std::make_shared<FakeDirect3DDevice>());
}

Result<std::shared_ptr<wgc::CaptureFramePool>> FakeGraphicsCapture::create_frame_pool(wgc::Direct3DDevice& device,
                                                                                    std::int32_t pixel_format,
                                                                                    std::int32_t number_of_buffers,
                                                                                    wgc::SizeInt32 size) {
  static_cast<void>(device);
  const auto d = faults_->on_call("create_frame_pool");
  if (d.outcome == Outcome::Fail) {
    return fail(d.code);
  }
  if (auto s = require_apartment(); !s) {
    return std::unexpected(s.error());
  }
  if (d.outcome == Outcome::Empty) {
    return std::shared_ptr<wgc::CaptureFramePool>();
  }
  const std::uint32_t owner = win32_.get_current_thread_id();
  // Microsoft, Direct3D11CaptureFramePool.Create: the pool raises FrameArrived
  // through the DispatcherQueue of the thread that creates it, so Create
  // needs one there (CreateFreeThreaded is for threads without); the fake
  // refuses such a thread with RPC_E_WRONG_THREAD.
  {
    const MutexLock lock(dispatcher_threads_->mutex);
    if (!dispatcher_threads_->threads.contains(owner)) {
      return fail(status::rpc_e_wrong_thread);
    }
  }
  const MutexLock lock(mutex_);
  auto pool = std::make_shared<FakeCaptureFramePool>(faults_, win32_, owner, size, script_);
  last_pool_ = pool;
  last_pool_creation_ = PoolCreation{pixel_format, number_of_buffers, size};
  return std::shared_ptr<wgc::CaptureFramePool>(pool);
}

}  // namespace quorvex::platform::fake
