// A scriptable fake of the capture area: RoInitialize's result, the MTA
// usage, the dispatcher queue controller (its shutdown completes through the
// owning thread's message queue), the ApiInformation answers, IsSupported,
// capture items with a size and a Closed event, frame pools whose
// FrameArrived is delivered through the FakeWin32 message queue of the
// thread that created the pool (so dispatch_message runs the handlers there),
// frames with content size, time and a surface whose texture has the pool's
// buffer size, and sessions that record their cursor and border settings.
// Like Windows, it refuses Create of a frame pool on a thread that holds no
// dispatcher queue controller (RPC_E_WRONG_THREAD), and the Closed event
// runs on whichever thread calls raise_closed: the item is agile, so Windows
// raises Closed where the system closes it, not through the capture
// thread's queue.
//
// Events a test wants during a session are scripted with script_on_start():
// they are queued, in order, when the session's StartCapture is called.
// Every operation asks faults() first under a dotted name: the factory calls
// under their method names ("create_frame_pool", "create_for_window", ...),
// object calls as "item.get_size", "pool.recreate", "pool.try_get_next_frame",
// "frame.get_content_size", "surface.get_texture", "session.start_capture",
// "session.close", "pool.close", "pool.remove_frame_arrived",
// "item.remove_closed", "controller.shutdown_queue_async",
// "action.put_completed", ...
//
// Thread contract: every member may be called from any thread; event
// handlers run without the fake's locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "platform/fake/fake_apartments.h"
#include "platform/fake/fake_win32.h"
#include "platform/fake/fault_plan.h"
#include "platform/graphics_capture.h"
#include "platform/thread_safety.h"

namespace quorvex::platform::fake {

struct FakeFrame {
  wgc::SizeInt32 content_size;
  std::int64_t system_relative_time_100ns = 0;
};

// Raises the item's Closed event on the capture thread.
struct FakeItemClosed {};

using FakeCaptureEvent = std::variant<FakeFrame, FakeItemClosed>;

class FakeCaptureSession;

class FakeCaptureItem final : public wgc::CaptureItem, public std::enable_shared_from_this<FakeCaptureItem> {
 public:
  FakeCaptureItem(std::shared_ptr<FaultPlan> faults, wgc::SizeInt32 size) : faults_(std::move(faults)), size_(size) {}

  Result<wgc::SizeInt32> get_size() override;
  Result<wgc::EventRegistrationToken> add_closed(ClosedHandler handler) override;
  Status remove_closed(wgc::EventRegistrationToken token) override;

  // Runs every registered Closed handler on the calling thread.
  void raise_closed();
  [[nodiscard]] std::size_t closed_handlers() const;
  void set_size(wgc::SizeInt32 size);

 private:
  std::shared_ptr<FaultPlan> faults_;
  mutable Mutex mutex_;
  wgc::SizeInt32 size_;
  // Shared so a raised event runs the registered delegate itself, state and all.
  std::map<std::int64_t, std::shared_ptr<ClosedHandler>> handlers_;
  std::int64_t next_token_ = 1;
};

class FakeCaptureFramePool final : public wgc::CaptureFramePool,
                                   public std::enable_shared_from_this<FakeCaptureFramePool> {
 public:
  FakeCaptureFramePool(std::shared_ptr<FaultPlan> faults, FakeWin32& win32, std::uint32_t owner_thread,
                       wgc::SizeInt32 size, std::vector<FakeCaptureEvent> script);

  Status recreate(wgc::Direct3DDevice& device, std::int32_t pixel_format, std::int32_t number_of_buffers,
                  wgc::SizeInt32 size) override;
  Result<std::shared_ptr<wgc::CaptureFrame>> try_get_next_frame() override;
  Result<wgc::EventRegistrationToken> add_frame_arrived(FrameArrivedHandler handler) override;
  Status remove_frame_arrived(wgc::EventRegistrationToken token) override;
  Result<std::shared_ptr<wgc::CaptureSession>> create_capture_session(wgc::CaptureItem& item) override;
  Status close() override;

  // A frame is composed: it enters the pool and FrameArrived is queued on
  // the owner thread. Callable from any thread.
  [[nodiscard]] Status arrive(FakeFrame frame);

  [[nodiscard]] std::vector<wgc::SizeInt32> recreations() const;
  [[nodiscard]] wgc::SizeInt32 buffer_size() const;
  [[nodiscard]] bool closed() const;
  [[nodiscard]] std::size_t frame_arrived_handlers() const;
  [[nodiscard]] int frames_taken() const;
  // Frames taken and since released by their last holder.
  [[nodiscard]] int frames_released() const { return released_->load(); }
  [[nodiscard]] std::uint32_t owner_thread() const { return owner_thread_; }
  [[nodiscard]] std::shared_ptr<FakeCaptureSession> last_session() const;

 private:
  void raise_frame_arrived();

  std::shared_ptr<FaultPlan> faults_;
  FakeWin32& win32_;
  const std::uint32_t owner_thread_;
  mutable Mutex mutex_;
  wgc::SizeInt32 size_;
  bool closed_ = false;
  std::vector<wgc::SizeInt32> recreations_;
  // Composed frames; each is drawn into a buffer of the pool's size of the
  // moment it is taken, so frames after a Recreate come at the new size.
  std::vector<FakeFrame> ready_;
  std::map<std::int64_t, std::shared_ptr<FrameArrivedHandler>> handlers_;
  std::int64_t next_token_ = 1;
  int taken_ = 0;
  std::shared_ptr<std::atomic<int>> released_ = std::make_shared<std::atomic<int>>(0);
  std::vector<FakeCaptureEvent> script_;
  std::shared_ptr<FakeCaptureSession> session_;
};

class FakeCaptureSession final : public wgc::CaptureSession {
 public:
  FakeCaptureSession(std::shared_ptr<FaultPlan> faults, FakeWin32& win32,
                     std::weak_ptr<FakeCaptureFramePool> pool, std::weak_ptr<FakeCaptureItem> item,
                     std::vector<FakeCaptureEvent> script)
      : faults_(std::move(faults)), win32_(win32), pool_(std::move(pool)), item_(std::move(item)),
        script_(std::move(script)) {}

  Status start_capture() override;
  Status put_is_cursor_capture_enabled(bool enabled) override;
  Status put_is_border_required(bool required) override;
  Status close() override;

  [[nodiscard]] bool started() const;
  [[nodiscard]] bool closed() const;
  [[nodiscard]] std::optional<bool> cursor_capture_enabled() const;
  [[nodiscard]] std::optional<bool> border_required() const;

 private:
  std::shared_ptr<FaultPlan> faults_;
  FakeWin32& win32_;
  std::weak_ptr<FakeCaptureFramePool> pool_;
  std::weak_ptr<FakeCaptureItem> item_;
  std::vector<FakeCaptureEvent> script_;
  mutable Mutex mutex_;
  bool started_ = false;
  bool closed_ = false;
  std::optional<bool> cursor_;
  std::optional<bool> border_;
};

class FakeGraphicsCapture final : public wgc::GraphicsCapture {
 public:
  // The apartments are shared with the fake Media Foundation of the same
  // test platform, when there is one.
  explicit FakeGraphicsCapture(FakeWin32& win32,
                               std::shared_ptr<FakeApartments> apartments = std::make_shared<FakeApartments>());

  [[nodiscard]] FaultPlan& faults() { return *faults_; }
  [[nodiscard]] FakeApartments& apartments() { return *apartments_; }

  // The threads that hold a dispatcher queue controller now.
  struct DispatcherThreads {
    Mutex mutex;
    std::multiset<std::uint32_t> threads;
  };

  // Knobs.
  void set_ro_initialize_result(std::uint32_t code);  // e.g. S_FALSE
  void set_property_present(std::string_view property, bool present);
  void set_api_contract_present(bool present);
  void set_supported(bool supported);
  void set_item_size(wgc::SizeInt32 size);  // items created from now on
  void script_on_start(std::vector<FakeCaptureEvent> events);
  // Dispatcher queue shutdowns made from now on complete on a thread of
  // their own instead of the queue's thread (Windows promises no thread).
  void set_shutdown_completes_elsewhere(bool elsewhere) { shutdown_completes_elsewhere_ = elsewhere; }

  // What happened.
  struct CreatedItem {
    std::variant<WindowHandle, MonitorHandle> source;
    std::shared_ptr<FakeCaptureItem> item;
  };
  [[nodiscard]] std::vector<CreatedItem> created_items() const;
  [[nodiscard]] std::shared_ptr<FakeCaptureFramePool> last_frame_pool() const;
  [[nodiscard]] std::shared_ptr<FakeCaptureSession> last_session() const;
  struct PoolCreation {
    std::int32_t pixel_format = 0;
    std::int32_t number_of_buffers = 0;
    wgc::SizeInt32 size;
  };
  [[nodiscard]] std::optional<PoolCreation> last_pool_creation() const;
  // Dispatcher queue shutdowns whose completion has run.
  [[nodiscard]] int completed_shutdowns() const { return completed_shutdowns_->load(); }

  // wgc::GraphicsCapture.
  Result<std::uint32_t> ro_initialize_multithreaded() override;
  Result<std::shared_ptr<wgc::MtaUsageCookie>> co_increment_mta_usage() override;
  Result<std::shared_ptr<wgc::DispatcherQueueController>> create_dispatcher_queue_controller(
      const wgc::DispatcherQueueOptions& options) override;
  Result<bool> is_property_present(std::string_view type_name, std::string_view property_name) override;
  Result<bool> is_api_contract_present_by_major(std::string_view contract_name, std::uint16_t major_version) override;
  Result<bool> is_supported() override;
  Result<std::shared_ptr<wgc::CaptureItem>> create_for_window(WindowHandle window) override;
  Result<std::shared_ptr<wgc::CaptureItem>> create_for_monitor(MonitorHandle monitor) override;
  Result<std::shared_ptr<wgc::Direct3DDevice>> create_direct3d11_device_from_dxgi_device(
      d3d11::DxgiDevice& dxgi_device) override;
  Result<std::shared_ptr<wgc::CaptureFramePool>> create_frame_pool(wgc::Direct3DDevice& device,
                                                                   std::int32_t pixel_format,
                                                                   std::int32_t number_of_buffers,
                                                                   wgc::SizeInt32 size) override;

 private:
  Result<std::shared_ptr<wgc::CaptureItem>> create_item(const char* operation,
                                                        std::variant<WindowHandle, MonitorHandle> source);

  // Activation factories need an apartment on the calling thread: the
  // factory calls fail with CO_E_NOTINITIALIZED otherwise.
  [[nodiscard]] Status require_apartment() const;

  FakeWin32& win32_;
  std::shared_ptr<FakeApartments> apartments_;
  std::shared_ptr<FaultPlan> faults_ = std::make_shared<FaultPlan>();
  std::shared_ptr<std::atomic<int>> completed_shutdowns_ = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<DispatcherThreads> dispatcher_threads_ = std::make_shared<DispatcherThreads>();
  bool shutdown_completes_elsewhere_ = false;
  mutable Mutex mutex_;
  std::uint32_t ro_initialize_result_ = status::ok;
  std::map<std::string, bool, std::less<>> properties_;  // absent: present
  bool contract_present_ = true;
  bool supported_ = true;
  wgc::SizeInt32 item_size_{1920, 1080};
  std::vector<FakeCaptureEvent> script_;
  std::vector<CreatedItem> items_;
  std::shared_ptr<FakeCaptureFramePool> last_pool_;
  std::optional<PoolCreation> last_pool_creation_;
};

}  // namespace quorvex::platform::fake
