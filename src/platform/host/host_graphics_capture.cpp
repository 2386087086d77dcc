#include "platform/host/host_graphics_capture.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/host/host_d3d11.h"
#include "platform/host/host_status.h"
#include "platform/host/host_texture.h"
#include "platform/host/host_win32.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::host {

namespace {

constexpr std::int32_t pixel_format_bgra = 87;  // DXGI_FORMAT_B8G8R8A8_UNORM
constexpr std::uint16_t newest_api_contract = 15;
// The displays' refresh rate; every picture of the desktop is composed on it.
constexpr auto compose_interval = std::chrono::nanoseconds(1'000'000'000 / 60);
// Feeds that wait for their source's notices are still polled this often
// (a source may miss a change, e.g. a server that tells nothing of monitors;
// a temporary failure is retried).
constexpr auto notice_timeout = std::chrono::seconds(1);

thread_local int ro_initialize_count = 0;

struct DispatcherState {
  std::uint32_t thread_id = 0;
  std::atomic<bool> shut_down{false};
};

class HostMtaUsageCookie final : public wgc::MtaUsageCookie {};

class HostDirect3DDevice final : public wgc::Direct3DDevice {
 public:
  explicit HostDirect3DDevice(std::shared_ptr<HostDevice> device) : device_(std::move(device)) {}

 private:
  std::shared_ptr<HostDevice> device_;
};

class HostSurface final : public wgc::Direct3DSurface {
 public:
  explicit HostSurface(std::shared_ptr<HostTexture> texture) : texture_(std::move(texture)) {}
  Result<std::shared_ptr<d3d11::Texture2D>> get_texture() override {
    return std::shared_ptr<d3d11::Texture2D>(texture_);
  }

 private:
  std::shared_ptr<HostTexture> texture_;
};

class HostAsyncAction final : public wgc::AsyncAction {
 public:
  Status put_completed(CompletedHandler handler) override {
    std::optional<wgc::AsyncStatus> done;
    {
      const MutexLock lock(mutex_);
      if (handler_ || handler_called_) {
        return host_fail(status_code::e_illegal_method_call);
      }
      if (!result_) {
        handler_ = std::move(handler);
        return {};
      }
      handler_called_ = true;
      done = result_;
    }
    handler(*done);  // already complete: called at once, on this thread
    return {};
  }
  void complete(wgc::AsyncStatus status) {
    CompletedHandler handler;
    {
      const MutexLock lock(mutex_);
      result_ = status;
      if (!handler_) {
        return;
      }
      handler = std::move(handler_);
      handler_ = nullptr;
      handler_called_ = true;
    }
    handler(status);
  }

 private:
  Mutex mutex_;
  std::optional<wgc::AsyncStatus> result_ QVX_GUARDED_BY(mutex_);
  CompletedHandler handler_ QVX_GUARDED_BY(mutex_);
  bool handler_called_ QVX_GUARDED_BY(mutex_) = false;
};

}  // namespace

// A capture item's shared state: what it stands for and its Closed handlers.
struct ItemCore {
  bool is_window = false;
  std::uint64_t handle = 0;
  Mutex mutex;
  std::map<std::int64_t, wgc::CaptureItem::ClosedHandler> closed_handlers QVX_GUARDED_BY(mutex);
  std::int64_t next_token QVX_GUARDED_BY(mutex) = 1;
  bool closed QVX_GUARDED_BY(mutex) = false;
  wgc::SizeInt32 last_size QVX_GUARDED_BY(mutex);
};

class HostCaptureFramePool;
class HostCaptureSession;

class CaptureService : public std::enable_shared_from_this<CaptureService> {
 public:
  CaptureService(DesktopSource& desktop, std::shared_ptr<ThreadMessageQueues> queues)
      : desktop_(desktop), queues_(std::move(queues)), epoch_(std::chrono::steady_clock::now()) {}

  ~CaptureService() { stop(); }

  void watch_desktop() {
    listener_ = desktop_.add_listener([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->wake();
    });
  }

  void stop() {
    {
      const MutexLock lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (listener_ != 0) {
      desktop_.remove_listener(listener_);
      listener_ = 0;
    }
  }

  void wake() {
    {
      const MutexLock lock(mutex_);
      woken_ = true;
    }
    changed_.notify_all();
  }

  void add_item(const std::shared_ptr<ItemCore>& item) {
    const MutexLock lock(mutex_);
    items_.push_back(item);
    start_locked();
  }

  void add_session(const std::shared_ptr<HostCaptureSession>& session) {
    {
      const MutexLock lock(mutex_);
      sessions_.push_back(session);
      woken_ = true;
      start_locked();
    }
    changed_.notify_all();
  }

  std::shared_ptr<DispatcherState> create_dispatcher(std::uint32_t thread_id) {
    auto state = std::make_shared<DispatcherState>();
    state->thread_id = thread_id;
    const MutexLock lock(mutex_);
    dispatchers_[thread_id] = state;
    return state;
  }

  std::shared_ptr<DispatcherState> dispatcher_of(std::uint32_t thread_id) {
    const MutexLock lock(mutex_);
    const auto it = dispatchers_.find(thread_id);
    if (it == dispatchers_.end() || it->second->shut_down.load()) {
      return nullptr;
    }
    return it->second;
  }

  std::optional<wgc::SizeInt32> item_size(const ItemCore& item) const {
    if (item.is_window) {
      const auto w = desktop_.window(WindowHandle{item.handle});
      if (!w) return std::nullopt;
      return wgc::SizeInt32{w->spec.bounds.right - w->spec.bounds.left, w->spec.bounds.bottom - w->spec.bounds.top};
    }
    const auto d = desktop_.display(MonitorHandle{item.handle});
    if (!d) return std::nullopt;
    return wgc::SizeInt32{d->spec.bounds.right - d->spec.bounds.left, d->spec.bounds.bottom - d->spec.bounds.top};
  }

  DesktopSource& desktop() { return desktop_; }
  const std::shared_ptr<ThreadMessageQueues>& queues() const { return queues_; }
  std::atomic<std::uint64_t> composed{0};
  std::atomic<std::uint64_t> dropped{0};

 private:
  void start_locked() QVX_REQUIRES(mutex_) {
    if (!thread_.joinable() && !stopping_) {
      thread_ = std::thread([this] { run(); });
    }
  }
  void run();
  void raise_closed(ItemCore& item);
  // In how many refreshes the session's feed is to be polled again without
  // a notice; 0: only after one.
  std::uint32_t compose(HostCaptureSession& session, std::uint32_t tick);

  DesktopSource& desktop_;
  std::shared_ptr<ThreadMessageQueues> queues_;
  const std::chrono::steady_clock::time_point epoch_;
  std::uint64_t listener_ = 0;

  Mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ QVX_GUARDED_BY(mutex_) = false;
  bool woken_ QVX_GUARDED_BY(mutex_) = false;
  std::vector<std::weak_ptr<ItemCore>> items_ QVX_GUARDED_BY(mutex_);
  std::vector<std::weak_ptr<HostCaptureSession>> sessions_ QVX_GUARDED_BY(mutex_);
  std::map<std::uint32_t, std::shared_ptr<DispatcherState>> dispatchers_ QVX_GUARDED_BY(mutex_);
  std::thread thread_;
};

class HostCaptureItem final : public wgc::CaptureItem {
 public:
  HostCaptureItem(std::shared_ptr<CaptureService> service, std::shared_ptr<ItemCore> core)
      : service_(std::move(service)), core_(std::move(core)) {}

  Result<wgc::SizeInt32> get_size() override {
    const auto size = service_->item_size(*core_);
    const MutexLock lock(core_->mutex);
    if (size) core_->last_size = *size;
    return core_->last_size;  // a closed item keeps its last size
  }
  Result<wgc::EventRegistrationToken> add_closed(ClosedHandler handler) override {
    if (!handler) return host_fail(status::e_pointer);
    const MutexLock lock(core_->mutex);
    const std::int64_t token = core_->next_token++;
    core_->closed_handlers[token] = std::move(handler);
    return wgc::EventRegistrationToken{token};
  }
  Status remove_closed(wgc::EventRegistrationToken token) override {
    const MutexLock lock(core_->mutex);
    core_->closed_handlers.erase(token.value);
    return {};
  }
  const std::shared_ptr<ItemCore>& core() const { return core_; }

 private:
  std::shared_ptr<CaptureService> service_;
  std::shared_ptr<ItemCore> core_;
};

class HostCaptureFramePool final : public wgc::CaptureFramePool,
                                   public std::enable_shared_from_this<HostCaptureFramePool> {
 public:
  struct Slot {
    std::size_t index = 0;
    std::uint64_t generation = 0;
    std::shared_ptr<HostTexture> texture;
  };

  HostCaptureFramePool(std::shared_ptr<CaptureService> service, std::shared_ptr<DispatcherState> dispatcher)
      : service_(std::move(service)), dispatcher_(std::move(dispatcher)) {}

  static Status check(wgc::Direct3DDevice& device, std::int32_t pixel_format, std::int32_t number_of_buffers,
                      wgc::SizeInt32 size) {
    if (dynamic_cast<HostDirect3DDevice*>(&device) == nullptr || pixel_format != pixel_format_bgra ||
        number_of_buffers < 1 || size.width <= 0 || size.height <= 0) {
      return host_fail(status::e_invalidarg);
    }
    return {};
  }

  Status allocate(std::int32_t number_of_buffers, wgc::SizeInt32 size) {
    std::vector<Buffer> buffers;
    for (std::int32_t i = 0; i < number_of_buffers; ++i) {
      d3d11::Texture2DDesc desc;
      desc.width = static_cast<std::uint32_t>(size.width);
      desc.height = static_cast<std::uint32_t>(size.height);
      desc.format = d3d11::Format::B8G8R8A8Unorm;
      auto texture = service_->desktop().create_buffer(desc);
      if (!texture) return std::unexpected(texture.error());
      buffers.push_back(Buffer{std::move(*texture), BufferState::Free});
    }
    const MutexLock lock(mutex_);
    buffers_ = std::move(buffers);
    ready_.clear();
    ++generation_;
    return {};
  }

  Status recreate(wgc::Direct3DDevice& device, std::int32_t pixel_format, std::int32_t number_of_buffers,
                  wgc::SizeInt32 size) override {
    if (auto ok = check(device, pixel_format, number_of_buffers, size); !ok) return ok;
    {
      const MutexLock lock(mutex_);
      if (closed_) return host_fail(status_code::ro_e_closed);
    }
    return allocate(number_of_buffers, size);
  }

  Result<std::shared_ptr<wgc::CaptureFrame>> try_get_next_frame() override;

  Result<wgc::EventRegistrationToken> add_frame_arrived(FrameArrivedHandler handler) override {
    if (!handler) return host_fail(status::e_pointer);
    const MutexLock lock(mutex_);
    if (closed_) return host_fail(status_code::ro_e_closed);
    const std::int64_t token = next_token_++;
    handlers_[token] = std::make_shared<FrameArrivedHandler>(std::move(handler));
    return wgc::EventRegistrationToken{token};
  }

  Status remove_frame_arrived(wgc::EventRegistrationToken token) override {
    const MutexLock lock(mutex_);
    handlers_.erase(token.value);
    return {};
  }

  Result<std::shared_ptr<wgc::CaptureSession>> create_capture_session(wgc::CaptureItem& item) override;

  Status close() override {
    std::map<std::int64_t, std::shared_ptr<FrameArrivedHandler>> released;
    {
      const MutexLock lock(mutex_);
      closed_ = true;
      ready_.clear();
      released.swap(handlers_);
    }
    return {};  // handlers are released here, outside the lock
  }

  // Compositor side.
  std::optional<Slot> begin_compose() {
    const MutexLock lock(mutex_);
    if (closed_) return std::nullopt;
    for (std::size_t i = 0; i < buffers_.size(); ++i) {
      if (buffers_[i].state == BufferState::Free) {
        buffers_[i].state = BufferState::Composing;
        return Slot{i, generation_, buffers_[i].texture};
      }
    }
    return std::nullopt;
  }

  void finish_compose(const Slot& slot, std::int64_t time_100ns, wgc::SizeInt32 content_size) {
    {
      const MutexLock lock(mutex_);
      if (closed_ || slot.generation != generation_) return;
      buffers_[slot.index].state = BufferState::Ready;
      ready_.push_back(Ready{slot.index, slot.texture, time_100ns, content_size});
    }
    if (dispatcher_->shut_down.load()) return;
    (void)service_->queues()->post_work(dispatcher_->thread_id,
                                        [weak = weak_from_this()] {
                                          if (auto self = weak.lock()) self->raise_frame_arrived();
                                        });
  }

  // A slot whose picture could not be painted goes back unused.
  void abandon(const Slot& slot) {
    const MutexLock lock(mutex_);
    if (slot.generation == generation_ && buffers_[slot.index].state == BufferState::Composing) {
      buffers_[slot.index].state = BufferState::Free;
    }
  }

  void release(std::size_t index, std::uint64_t generation) {
    const MutexLock lock(mutex_);
    if (generation == generation_ && index < buffers_.size() && buffers_[index].state == BufferState::Held) {
      buffers_[index].state = BufferState::Free;
    }
  }

 private:
  enum class BufferState { Free, Composing, Ready, Held };
  struct Buffer {
    std::shared_ptr<HostTexture> texture;
    BufferState state = BufferState::Free;
  };
  struct Ready {
    std::size_t index;
    std::shared_ptr<HostTexture> texture;
    std::int64_t time_100ns;
    wgc::SizeInt32 content_size;
  };

  void raise_frame_arrived() {
    std::vector<std::shared_ptr<FrameArrivedHandler>> handlers;
    {
      const MutexLock lock(mutex_);
      if (closed_) return;
      for (auto& [token, handler] : handlers_) handlers.push_back(handler);
    }
    for (auto& handler : handlers) {
      (void)(*handler)(*this);  // the status goes back to the platform, which ignores it
    }
  }

  std::shared_ptr<CaptureService> service_;
  std::shared_ptr<DispatcherState> dispatcher_;
  Mutex mutex_;
  std::vector<Buffer> buffers_ QVX_GUARDED_BY(mutex_);
  std::deque<Ready> ready_ QVX_GUARDED_BY(mutex_);
  std::uint64_t generation_ QVX_GUARDED_BY(mutex_) = 0;
  // A delegate is one object however often it is invoked (its state, such as
  // the size it last saw, carries from one event to the next), so the
  // snapshot taken for an event shares it rather than copying it.
  std::map<std::int64_t, std::shared_ptr<FrameArrivedHandler>> handlers_ QVX_GUARDED_BY(mutex_);
  std::int64_t next_token_ QVX_GUARDED_BY(mutex_) = 1;
  bool closed_ QVX_GUARDED_BY(mutex_) = false;
};

class HostCaptureFrame final : public wgc::CaptureFrame {
 public:
  HostCaptureFrame(std::shared_ptr<HostCaptureFramePool> pool, HostCaptureFramePool::Slot slot,
                   std::int64_t time_100ns, wgc::SizeInt32 content_size)
      : pool_(std::move(pool)), slot_(std::move(slot)), time_100ns_(time_100ns), content_size_(content_size) {}
  ~HostCaptureFrame() override { (void)close(); }

  Result<std::shared_ptr<wgc::Direct3DSurface>> get_surface() override {
    const MutexLock lock(mutex_);
    if (!pool_) return host_fail(status_code::ro_e_closed);
    return std::shared_ptr<wgc::Direct3DSurface>(std::make_shared<HostSurface>(slot_.texture));
  }
  Result<std::int64_t> get_system_relative_time() override { return time_100ns_; }
  Result<wgc::SizeInt32> get_content_size() override { return content_size_; }
  Status close() override {
    std::shared_ptr<HostCaptureFramePool> pool;
    {
      const MutexLock lock(mutex_);
      pool = std::move(pool_);
      pool_.reset();
    }
    if (pool) pool->release(slot_.index, slot_.generation);
    return {};
  }

 private:
  Mutex mutex_;
  std::shared_ptr<HostCaptureFramePool> pool_ QVX_GUARDED_BY(mutex_);  // null once closed
  HostCaptureFramePool::Slot slot_;
  std::int64_t time_100ns_;
  wgc::SizeInt32 content_size_;
};

Result<std::shared_ptr<wgc::CaptureFrame>> HostCaptureFramePool::try_get_next_frame() {
  const MutexLock lock(mutex_);
  if (closed_) return host_fail(status_code::ro_e_closed);
  if (ready_.empty()) return std::shared_ptr<wgc::CaptureFrame>();
  Ready ready = std::move(ready_.front());
  ready_.pop_front();
  buffers_[ready.index].state = BufferState::Held;
  return std::shared_ptr<wgc::CaptureFrame>(std::make_shared<HostCaptureFrame>(
      shared_from_this(), Slot{ready.index, generation_, std::move(ready.texture)}, ready.time_100ns,
      ready.content_size));
}

class HostCaptureSession final : public wgc::CaptureSession,
                                 public std::enable_shared_from_this<HostCaptureSession> {
 public:
  HostCaptureSession(std::shared_ptr<CaptureService> service, std::shared_ptr<HostCaptureFramePool> pool,
                     std::shared_ptr<ItemCore> item)
      : service_(std::move(service)), pool_(std::move(pool)), item_(std::move(item)) {}

  Status start_capture() override {
    {
      const MutexLock lock(mutex_);
      if (closed_) return host_fail(status_code::ro_e_closed);
      if (started_) return host_fail(status_code::e_illegal_method_call);
      started_ = true;
    }
    service_->add_session(shared_from_this());
    return {};
  }
  Status put_is_cursor_capture_enabled(bool enabled) override {
    const MutexLock lock(mutex_);
    if (closed_) return host_fail(status_code::ro_e_closed);
    cursor_ = enabled;
    return {};
  }
  Status put_is_border_required(bool required) override {
    const MutexLock lock(mutex_);
    if (closed_) return host_fail(status_code::ro_e_closed);
    border_ = required;
    return {};
  }
  Status close() override {
    const MutexLock lock(mutex_);
    closed_ = true;
    return {};
  }

  bool capturing() {
    const MutexLock lock(mutex_);
    return started_ && !closed_;
  }
  bool cursor() {
    const MutexLock lock(mutex_);
    return cursor_;
  }
  HostCaptureFramePool& pool() { return *pool_; }
  ItemCore& item() { return *item_; }
  // Opened on the compositor thread at the first refresh; compositor thread only.
  PictureFeed& feed() {
    if (!feed_) feed_ = service_->desktop().open_feed(CaptureTarget{item_->is_window, item_->handle});
    return *feed_;
  }

 private:
  std::shared_ptr<CaptureService> service_;
  std::shared_ptr<HostCaptureFramePool> pool_;
  std::shared_ptr<ItemCore> item_;
  Mutex mutex_;
  bool started_ QVX_GUARDED_BY(mutex_) = false;
  bool closed_ QVX_GUARDED_BY(mutex_) = false;
  bool cursor_ QVX_GUARDED_BY(mutex_) = true;  // (the virtual desktop draws no cursor either way)
  bool border_ QVX_GUARDED_BY(mutex_) = true;
  std::unique_ptr<PictureFeed> feed_;  // compositor thread
};

Result<std::shared_ptr<wgc::CaptureSession>> HostCaptureFramePool::create_capture_session(wgc::CaptureItem& item) {
  auto* host_item = dynamic_cast<HostCaptureItem*>(&item);
  if (host_item == nullptr) return host_fail(status::e_invalidarg);
  {
    const MutexLock lock(mutex_);
    if (closed_) return host_fail(status_code::ro_e_closed);
  }
  return std::shared_ptr<wgc::CaptureSession>(
      std::make_shared<HostCaptureSession>(service_, shared_from_this(), host_item->core()));
}

void CaptureService::raise_closed(ItemCore& item) {
  std::vector<wgc::CaptureItem::ClosedHandler> handlers;
  {
    const MutexLock lock(item.mutex);
    if (item.closed) return;
    item.closed = true;
    for (auto& [token, handler] : item.closed_handlers) handlers.push_back(handler);
  }
  for (auto& handler : handlers) {
    (void)handler();
  }
}

std::uint32_t CaptureService::compose(HostCaptureSession& session, std::uint32_t tick) {
  PictureFeed& feed = session.feed();
  const bool cursor = session.cursor();
  const PictureFeed::Poll poll = feed.poll(cursor);
  if (poll.outcome == FeedOutcome::PermanentFailure) {
    raise_closed(session.item());
    return 0;
  }
  // A temporary failure waits for the next notice (or the notice time-out).
  if (poll.outcome == FeedOutcome::TemporaryFailure) return 0;
  if (!poll.due) return poll.poll_after;
  auto slot = session.pool().begin_compose();
  if (!slot) {
    // The picture stays due: try again when the next refresh may find a free buffer.
    dropped.fetch_add(1);
    return 1;
  }
  const std::int64_t composed_at = performance_counter_now();
  switch (feed.paint(*slot->texture, tick, cursor)) {
    case FeedOutcome::Ok:
      break;
    case FeedOutcome::TemporaryFailure:
      session.pool().abandon(*slot);
      return 0;
    case FeedOutcome::PermanentFailure:
      session.pool().abandon(*slot);
      raise_closed(session.item());
      return 0;
  }
  session.pool().finish_compose(*slot, composed_at, poll.size);
  composed.fetch_add(1);
  return poll.poll_after;
}

void CaptureService::run() {
  pthread_setname_np(pthread_self(), "qvx-compositor");
  MutexLock lock(mutex_);
  while (!stopping_) {
    // Drop what is gone, and see whether anything is capturing.
    std::erase_if(items_, [](const std::weak_ptr<ItemCore>& w) { return w.expired(); });
    std::erase_if(sessions_, [](const std::weak_ptr<HostCaptureSession>& w) { return w.expired(); });
    std::vector<std::shared_ptr<ItemCore>> items;
    for (auto& weak : items_) {
      if (auto item = weak.lock()) items.push_back(std::move(item));
    }
    std::vector<std::shared_ptr<HostCaptureSession>> sessions;
    for (auto& weak : sessions_) {
      if (auto session = weak.lock()) sessions.push_back(std::move(session));
    }
    woken_ = false;
    lock.unlock();

    for (auto& item : items) {
      if (!item_size(*item)) raise_closed(*item);
    }
    bool any_capturing = false;
    std::uint32_t poll_after = 0;  // the soonest any feed asks for; 0: none asks
    const auto ticks = (std::chrono::steady_clock::now() - epoch_) / compose_interval;
    for (auto& session : sessions) {
      if (session->capturing()) {
        any_capturing = true;
        const std::uint32_t after = compose(*session, static_cast<std::uint32_t>(ticks));
        if (after != 0 && (poll_after == 0 || after < poll_after)) poll_after = after;
      }
    }
    items.clear();
    sessions.clear();  // released outside the service lock

    lock.lock();
    if (any_capturing && poll_after == 1) {
      // The next composition starts the next tick, so no two share one even
      // when this one woke late; one that falls behind skips the ticks it
      // missed rather than bursting.
      lock.wait_until(changed_, epoch_ + (ticks + 1) * compose_interval, [&]() QVX_REQUIRES(mutex_) { return stopping_; });
    } else if (any_capturing) {
      // No feed needs the next refresh: sleep until a notice (one that came
      // while composing counts) or the refresh a feed asked for; after a
      // notice, compose at the next refresh, so notices never compose faster
      // than the display refreshes.
      const auto limit = poll_after == 0 ? std::chrono::steady_clock::now() + notice_timeout
                                         : epoch_ + (ticks + poll_after) * compose_interval;
      lock.wait_until(changed_, limit, [&]() QVX_REQUIRES(mutex_) { return stopping_ || woken_; });
      if (woken_) {
        const auto now_ticks = (std::chrono::steady_clock::now() - epoch_) / compose_interval;
        lock.wait_until(changed_, epoch_ + (std::max(now_ticks, ticks) + 1) * compose_interval,
                            [&]() QVX_REQUIRES(mutex_) { return stopping_; });
      }
    } else {
      lock.wait(changed_, [&]() QVX_REQUIRES(mutex_) { return stopping_ || woken_ || !sessions_.empty(); });
      if (!sessions_.empty() && !woken_) {
        // Sessions exist but none is capturing: look again at the next tick.
        lock.wait_for(changed_, compose_interval, [&]() QVX_REQUIRES(mutex_) { return stopping_ || woken_; });
      }
    }
  }
}

HostGraphicsCapture::HostGraphicsCapture(DesktopSource& desktop, std::shared_ptr<ThreadMessageQueues> queues)
    : service_(std::make_shared<CaptureService>(desktop, std::move(queues))) {
  service_->watch_desktop();
}

HostGraphicsCapture::~HostGraphicsCapture() { service_->stop(); }

Result<std::uint32_t> HostGraphicsCapture::ro_initialize_multithreaded() {
  return ro_initialize_count++ == 0 ? status::ok : status::s_false;
}

Result<std::shared_ptr<wgc::MtaUsageCookie>> HostGraphicsCapture::co_increment_mta_usage() {
  return std::shared_ptr<wgc::MtaUsageCookie>(std::make_shared<HostMtaUsageCookie>());
}

namespace {
class HostDispatcherQueueController final : public wgc::DispatcherQueueController {
 public:
  HostDispatcherQueueController(std::shared_ptr<ThreadMessageQueues> queues, std::shared_ptr<DispatcherState> state)
      : queues_(std::move(queues)), state_(std::move(state)) {}
  Result<std::shared_ptr<wgc::AsyncAction>> shutdown_queue_async() override {
    if (shutdown_requested_.exchange(true)) return host_fail(status_code::e_illegal_method_call);
    auto action = std::make_shared<HostAsyncAction>();
    // Work already queued runs first; the completion arrives on the queue's
    // own thread, where the program's handler posts its quit message.
    const bool posted = queues_->post_work(state_->thread_id, [state = state_, action] {
      state->shut_down.store(true);
      action->complete(wgc::AsyncStatus::Completed);
    });
    if (!posted) return host_fail(status_code::rpc_e_wrong_thread);
    return std::shared_ptr<wgc::AsyncAction>(std::move(action));
  }

 private:
  std::shared_ptr<ThreadMessageQueues> queues_;
  std::shared_ptr<DispatcherState> state_;
  std::atomic<bool> shutdown_requested_{false};
};
}  // namespace

Result<std::shared_ptr<wgc::DispatcherQueueController>> HostGraphicsCapture::create_dispatcher_queue_controller(
    const wgc::DispatcherQueueOptions& options) {
  if (options.size != sizeof(wgc::DispatcherQueueOptions)) return host_fail(status::e_invalidarg);
  if (options.thread_type != wgc::DispatcherQueueThreadType::Current) {
    return host_fail(status::e_notimpl);  // the program only binds its own thread
  }
  service_->queues()->ensure_current_queue();
  auto state = service_->create_dispatcher(ThreadMessageQueues::current_thread_id());
  return std::shared_ptr<wgc::DispatcherQueueController>(
      std::make_shared<HostDispatcherQueueController>(service_->queues(), std::move(state)));
}

void HostGraphicsCapture::set_property_present(std::string_view property_name, bool present) {
  if (property_name == wgc::is_border_required_property) border_property_.store(present);
  if (property_name == wgc::is_cursor_capture_enabled_property) cursor_property_.store(present);
}

Result<bool> HostGraphicsCapture::is_property_present(std::string_view type_name, std::string_view property_name) {
  if (type_name != wgc::graphics_capture_session_type) return false;
  if (property_name == wgc::is_border_required_property) return border_property_.load();
  if (property_name == wgc::is_cursor_capture_enabled_property) return cursor_property_.load();
  return false;
}

Result<bool> HostGraphicsCapture::is_api_contract_present_by_major(std::string_view contract_name,
                                                                   std::uint16_t major_version) {
  return contract_name == wgc::universal_api_contract && major_version <= newest_api_contract;
}

Result<bool> HostGraphicsCapture::is_supported() { return supported_.load(); }

Result<std::shared_ptr<wgc::CaptureItem>> HostGraphicsCapture::create_for_window(WindowHandle window) {
  if (!service_->desktop().window(window)) return host_fail(status::e_invalidarg);
  auto core = std::make_shared<ItemCore>();
  core->is_window = true;
  core->handle = window.value;
  const wgc::SizeInt32 size = service_->item_size(*core).value_or(wgc::SizeInt32{});
  {
    // Not shared yet; the lock only satisfies the field's contract.
    const MutexLock lock(core->mutex);
    core->last_size = size;
  }
  service_->add_item(core);
  return std::shared_ptr<wgc::CaptureItem>(std::make_shared<HostCaptureItem>(service_, std::move(core)));
}

Result<std::shared_ptr<wgc::CaptureItem>> HostGraphicsCapture::create_for_monitor(MonitorHandle monitor) {
  if (!service_->desktop().display(monitor)) return host_fail(status::e_invalidarg);
  auto core = std::make_shared<ItemCore>();
  core->handle = monitor.value;
  const wgc::SizeInt32 size = service_->item_size(*core).value_or(wgc::SizeInt32{});
  {
    // Not shared yet; the lock only satisfies the field's contract.
    const MutexLock lock(core->mutex);
    core->last_size = size;
  }
  service_->add_item(core);
  return std::shared_ptr<wgc::CaptureItem>(std::make_shared<HostCaptureItem>(service_, std::move(core)));
}

Result<std::shared_ptr<wgc::Direct3DDevice>> HostGraphicsCapture::create_direct3d11_device_from_dxgi_device(
    d3d11::DxgiDevice& dxgi_device) {
  auto* host = dynamic_cast<HostDxgiDevice*>(&dxgi_device);
  if (host == nullptr) return host_fail(status::e_invalidarg);
  return std::shared_ptr<wgc::Direct3DDevice>(std::make_shared<HostDirect3DDevice>(host->device()));
}

Result<std::shared_ptr<wgc::CaptureFramePool>> HostGraphicsCapture::create_frame_pool(
    wgc::Direct3DDevice& device, std::int32_t pixel_format, std::int32_t number_of_buffers, wgc::SizeInt32 size) {
  if (auto ok = HostCaptureFramePool::check(device, pixel_format, number_of_buffers, size); !ok) {
    return std::unexpected(ok.error());
  }
  // The non-free-threaded pool belongs to the calling thread's dispatcher queue.
  auto dispatcher = service_->dispatcher_of(ThreadMessageQueues::current_thread_id());
  if (!dispatcher) return host_fail(status_code::rpc_e_wrong_thread);
  auto pool = std::make_shared<HostCaptureFramePool>(service_, std::move(dispatcher));
  if (auto ok = pool->allocate(number_of_buffers, size); !ok) return std::unexpected(ok.error());
  return std::shared_ptr<wgc::CaptureFramePool>(std::move(pool));
}

std::uint64_t HostGraphicsCapture::frames_composed() const { return service_->composed.load(); }
std::uint64_t HostGraphicsCapture::frames_dropped() const { return service_->dropped.load(); }

}  // namespace quorvex::platform::host
