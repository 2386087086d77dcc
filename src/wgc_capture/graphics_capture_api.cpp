#include "wgc_capture/graphics_capture_api.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <type_traits>

#include "platform/platform.h"

namespace quorvex::wgc_capture {

std::optional<HandlerError> device_removed(platform::d3d11::Device& device) {
  if (auto reason = device.get_device_removed_reason(); !reason) {
    return HandlerError{"graphics device removed: " + reason.error().text()};
  }
  return std::nullopt;
}

namespace graphics_capture_api {

std::string Error::message() const {
  switch (kind) {
    case Kind::Unsupported: return "Graphics capture API is not supported";
    case Kind::CursorConfigUnsupported: return "Graphics capture API toggling cursor capture is not supported";
    case Kind::BorderConfigUnsupported: return "Graphics capture API toggling border capture is not supported";
    case Kind::DirectXError:
      return "DirectX error: " + (directx_error ? directx_error->message() : std::string());
    case Kind::WindowsError:
      return "Windows API error: " + (platform_error ? platform_error->text() : std::string());
  }
  return {};
}

}  // namespace graphics_capture_api

std::string GraphicsCaptureApiError::message() const {
  switch (kind) {
    case Kind::FailedToInitWinRT: return "Failed to initialize WinRT";
    case Kind::FailedToCreateDispatcherQueueController: return "Failed to create dispatcher queue controller";
    case Kind::FailedToShutdownDispatcherQueue: return "Failed to shutdown dispatcher queue";
    case Kind::FailedToSetDispatcherQueueCompletedHandler: return "Failed to set dispatcher queue completed handler";
    case Kind::ItemConvertFailed: return "Failed to convert item to GraphicsCaptureItem";
    case Kind::DirectXError: return "DirectX error: " + inner;
    case Kind::GraphicsCaptureApi: return "Graphics capture error: " + inner;
    case Kind::NewHandlerError: return "New handler error: " + inner;
    case Kind::FrameHandlerError: return "Frame handler error: " + inner;
  }
  return {};
}

// The quit that ends the session's first message loop, posted to the
// capture thread by its id at most once, whichever event ends the session
// first: a second one (a stop and then Closed from another thread) would
// end the dispatcher-shutdown loop before the shutdown has completed.
class SessionQuit {
 public:
  explicit SessionQuit(std::uint32_t thread_id) : thread_id_(thread_id) {}
  // The status of the post; ok when an earlier event posted it already.
  std::uint32_t post() {
    if (posted_.exchange(true)) {
      return platform::status::ok;
    }
    auto posted = platform::current().win32().post_thread_message(thread_id_, platform::win32::wm_quit, 0, 0);
    return posted ? platform::status::ok : posted.error().code();
  }

 private:
  const std::uint32_t thread_id_;
  std::atomic<bool> posted_{false};
};

namespace {

using ApiError = graphics_capture_api::Error;
using platform::wgc::CaptureFramePool;
using platform::wgc::SizeInt32;

// The universal API contract version that brought the capture properties the
// session sets.
constexpr std::uint16_t required_contract_major = 8;
constexpr std::int32_t frame_pool_buffers = 2;

std::unexpected<ApiError> windows_error(platform::Error error) {
  return std::unexpected(ApiError{ApiError::Kind::WindowsError, std::move(error), std::nullopt});
}
std::unexpected<ApiError> api_error(ApiError::Kind kind) {
  return std::unexpected(ApiError{kind, std::nullopt, std::nullopt});
}
std::unexpected<GraphicsCaptureApiError> start_error(GraphicsCaptureApiError::Kind kind, std::string inner = {}) {
  return std::unexpected(GraphicsCaptureApiError{kind, std::move(inner)});
}

// Installed by set_fatal_report; read only by fatal().
std::atomic<FatalReport> fatal_report{nullptr};

// Teardown calls that cannot fail in a healthy process: there is no caller
// left that could handle the failure, so the process stops.
[[noreturn]] void fatal(std::string_view message, const platform::Error& error) {
  if (const FatalReport report = fatal_report.load(std::memory_order_acquire)) {
    report(message, error);
  }
  std::abort();
}

std::expected<bool, ApiError> is_setting_supported(std::string_view property) {
  platform::wgc::GraphicsCapture& capture = platform::current().graphics_capture();
  auto present = capture.is_property_present(platform::wgc::graphics_capture_session_type, property);
  if (!present) {
    return windows_error(present.error());
  }
  if (!*present) {
    return false;
  }
  auto contract =
      capture.is_api_contract_present_by_major(platform::wgc::universal_api_contract, required_contract_major);
  if (!contract) {
    return windows_error(contract.error());
  }
  if (!*contract) {
    return false;
  }
  auto supported = capture.is_supported();
  if (!supported) {
    return windows_error(supported.error());
  }
  return *supported;
}

// Whether the session's cursor setting is to be switched. Before Windows 10
// 2004 the session has no IsCursorCaptureEnabled and draws the cursor
// anyway, so a request for the cursor there has nothing to switch; only a
// request to leave it out is unsupported.
std::expected<bool, ApiError> require_cursor_setting(CursorCaptureMode cursor) {
  if (cursor == CursorCaptureMode::Default) {
    return false;
  }
  auto supported = GraphicsCaptureApi::is_cursor_settings_supported();
  if (!supported) {
    return std::unexpected(std::move(supported.error()));
  }
  if (!*supported) {
    if (cursor == CursorCaptureMode::WithCursor) {
      return false;
    }
    return api_error(ApiError::Kind::CursorConfigUnsupported);
  }
  return true;
}

std::expected<void, ApiError> require_border_setting(BorderMode border) {
  if (border == BorderMode::Default) {
    return {};
  }
  auto supported = GraphicsCaptureApi::is_border_settings_supported();
  if (!supported) {
    return std::unexpected(std::move(supported.error()));
  }
  if (!*supported) {
    return api_error(ApiError::Kind::BorderConfigUnsupported);
  }
  return {};
}

// Ends the session from an event on the capture thread: keeps the error,
// sets halted and quits the first message loop.
std::uint32_t conclude(HandlerResult result, const CaptureControl& control, std::atomic<bool>& halted,
                       HandlerErrorCell& handler_error, SessionQuit& quit) {
  if (result && !control.is_stopped()) {
    return platform::status::ok;
  }
  if (!result) {
    handler_error.store(std::move(result.error()));
  }
  halted.store(true);
  const std::uint32_t posted = quit.post();
  if (posted != platform::status::ok) {
    // These events run on the capture thread itself, where PostQuitMessage
    // cannot fail: without a quit the halted session would pump messages
    // for ever.
    platform::current().win32().post_quit_message(0);
  }
  return posted;
}

// FrameArrived. Runs on the capture thread inside dispatch_message.
class FrameArrivedHandler {
 public:
  FrameArrivedHandler(std::shared_ptr<std::atomic<bool>> halted, std::shared_ptr<SharedHandler> handler,
                      std::shared_ptr<HandlerErrorCell> handler_error, std::shared_ptr<SessionQuit> quit,
                      std::shared_ptr<platform::wgc::Direct3DDevice> winrt_device,
                      std::shared_ptr<platform::d3d11::Device> device,
                      std::shared_ptr<platform::d3d11::DeviceContext> device_context, std::uint8_t pixel_format,
                      SizeInt32 last_size)
      : halted_(std::move(halted)),
        handler_(std::move(handler)),
        handler_error_(std::move(handler_error)),
        quit_(std::move(quit)),
        winrt_device_(std::move(winrt_device)),
        device_(std::move(device)),
        device_context_(std::move(device_context)),
        pixel_format_(pixel_format),
        last_size_(last_size) {}

  // The pool is the event's sender; holding it here as well would keep pool
  // and handler alive through each other.
  std::uint32_t operator()(CaptureFramePool& pool) {
    if (halted_->load()) {
      return platform::status::ok;
    }
    auto next = pool.try_get_next_frame();
    if (!next) {
      return failed(next.error());
    }
    std::shared_ptr<platform::wgc::CaptureFrame> frame = std::move(*next);
    if (!frame) {
      return platform::status::ok;  // the event raced with an empty pool: nothing to deliver
    }
    auto time = frame->get_system_relative_time();
    if (!time) {
      return failed(time.error());
    }
    auto content_size = frame->get_content_size();
    if (!content_size) {
      return failed(content_size.error());
    }
    auto surface = frame->get_surface();
    if (!surface) {
      return failed(surface.error());
    }
    if (!*surface) {
      return failed(platform::error_from_status(platform::status::e_pointer));
    }
    auto texture = (*surface)->get_texture();
    if (!texture) {
      return failed(texture.error());
    }
    if (!*texture) {
      return failed(platform::error_from_status(platform::status::e_pointer));
    }
    const platform::d3d11::Texture2DDesc desc = (*texture)->get_desc();

    if (content_size->width <= 0 || content_size->height <= 0) {
      return platform::status::ok;
    }
    if (*content_size != last_size_) {
      // The frame in hand has the old buffer size; the next one comes at the
      // new size.
      auto recreated = pool.recreate(*winrt_device_, pixel_format_, frame_pool_buffers, *content_size);
      if (!recreated) {
        return failed(recreated.error());
      }
      last_size_ = *content_size;
      return platform::status::ok;
    }

    Frame delivered{
        .device = *device_,
        .surface = std::move(*surface),
        .texture = std::move(*texture),
        .device_context = *device_context_,
        .timestamp_100ns = *time,
        .width = desc.width,
        .height = desc.height,
        .pixel_format = pixel_format_,
    };
    CaptureControl control;
    HandlerResult result;
    {
      const MutexLock lock(handler_->mutex);
      result = handler_->handler->on_frame_arrived(delivered, control);
    }
    return conclude(std::move(result), control, *halted_, *handler_error_, *quit_);
  }

 private:
  // A frame event that fails ends the session. Handed back to WinRT, its
  // status would go nowhere: with no frame reaching the encoder nothing else
  // notices, and the session would freeze. A device that is gone is named
  // as the cause.
  std::uint32_t failed(const platform::Error& error) {
    CaptureControl control;
    HandlerResult result =
        std::unexpected(HandlerError{ApiError{ApiError::Kind::WindowsError, error, std::nullopt}.message()});
    if (auto removed = device_removed(*device_)) {
      const MutexLock lock(handler_->mutex);
      result = handler_->handler->on_device_removed(std::move(*removed));
    }
    if (result) {
      // The handler saw no fault after all; the event's own failure stands.
      result = std::unexpected(HandlerError{ApiError{ApiError::Kind::WindowsError, error, std::nullopt}.message()});
    }
    static_cast<void>(conclude(std::move(result), control, *halted_, *handler_error_, *quit_));
    return error.code();
  }

  std::shared_ptr<std::atomic<bool>> halted_;
  std::shared_ptr<SharedHandler> handler_;
  std::shared_ptr<HandlerErrorCell> handler_error_;
  std::shared_ptr<SessionQuit> quit_;
  std::shared_ptr<platform::wgc::Direct3DDevice> winrt_device_;
  std::shared_ptr<platform::d3d11::Device> device_;
  std::shared_ptr<platform::d3d11::DeviceContext> device_context_;
  std::uint8_t pixel_format_;
  SizeInt32 last_size_;  // capture thread only
};

// One thread timer's messages go to `on_timer` instead of being dispatched.
struct LoopTimer {
  std::uint64_t id = 0;
  std::function<void()> on_timer;
};

void run_message_loop(platform::Win32& win32, const LoopTimer* timer = nullptr) {
  platform::Message message;
  for (;;) {
    const platform::GetMessageResult got = win32.get_message(message);
    // GetMessageW fails only for an invalid window or message pointer; going
    // on would spin on the same failure forever.
    if (got != platform::GetMessageResult::Message) {
      return;
    }
    if (timer != nullptr && message.hwnd == 0 && message.message == platform::win32::wm_timer &&
        message.wparam == timer->id) {
      timer->on_timer();
      continue;
    }
    win32.translate_message(message);
    win32.dispatch_message(message);
  }
}

}  // namespace

std::expected<bool, ApiError> GraphicsCaptureApi::is_border_settings_supported() {
  return is_setting_supported(platform::wgc::is_border_required_property);
}

std::expected<bool, ApiError> GraphicsCaptureApi::is_cursor_settings_supported() {
  return is_setting_supported(platform::wgc::is_cursor_capture_enabled_property);
}

std::expected<std::unique_ptr<GraphicsCaptureApi>, ApiError> GraphicsCaptureApi::create(
    std::shared_ptr<platform::d3d11::Device> device, std::shared_ptr<platform::d3d11::DeviceContext> device_context,
    std::shared_ptr<platform::wgc::CaptureItem> item, std::shared_ptr<SharedHandler> handler,
    CursorCaptureMode cursor, BorderMode border, std::uint8_t pixel_format, std::uint32_t thread_id,
    std::shared_ptr<HandlerErrorCell> handler_error) {
  platform::wgc::GraphicsCapture& capture = platform::current().graphics_capture();

  auto contract =
      capture.is_api_contract_present_by_major(platform::wgc::universal_api_contract, required_contract_major);
  if (!contract) {
    return windows_error(contract.error());
  }
  if (!*contract) {
    return api_error(ApiError::Kind::Unsupported);
  }
  auto supported = capture.is_supported();
  if (!supported) {
    return windows_error(supported.error());
  }
  if (!*supported) {
    return api_error(ApiError::Kind::Unsupported);
  }
  if (auto checked = require_cursor_setting(cursor); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (auto checked = require_border_setting(border); !checked) {
    return std::unexpected(std::move(checked.error()));
  }

  // Filled step by step: an early return tears down what was made so far.
  std::unique_ptr<GraphicsCaptureApi> api(new GraphicsCaptureApi());
  api->item_ = item;
  api->device_ = device;
  api->device_context_ = device_context;

  auto directx_error = [](platform::Error error) {
    return std::unexpected(ApiError{ApiError::Kind::DirectXError, std::nullopt,
                                    d3d11::Error{d3d11::Error::Kind::WindowsError, std::move(error)}});
  };
  auto dxgi = device->query_dxgi_device();
  if (!dxgi) {
    return directx_error(dxgi.error());
  }
  if (!*dxgi) {
    return directx_error(platform::error_from_status(platform::status::e_pointer));
  }
  auto winrt_device = capture.create_direct3d11_device_from_dxgi_device(**dxgi);
  if (!winrt_device) {
    return directx_error(winrt_device.error());
  }
  if (!*winrt_device) {
    return directx_error(platform::error_from_status(platform::status::e_pointer));
  }
  api->winrt_device_ = std::move(*winrt_device);

  auto size = item->get_size();
  if (!size) {
    return windows_error(size.error());
  }
  auto pool = capture.create_frame_pool(*api->winrt_device_, pixel_format, frame_pool_buffers, *size);
  if (!pool) {
    return windows_error(pool.error());
  }
  if (!*pool) {
    return windows_error(platform::error_from_status(platform::status::e_pointer));
  }
  api->frame_pool_ = std::move(*pool);

  auto session = api->frame_pool_->create_capture_session(*item);
  if (!session) {
    return windows_error(session.error());
  }
  if (!*session) {
    return windows_error(platform::error_from_status(platform::status::e_pointer));
  }
  api->session_ = std::move(*session);

  api->halted_ = std::make_shared<std::atomic<bool>>(false);

  api->quit_ = std::make_shared<SessionQuit>(thread_id);
  auto closed = item->add_closed(
      [halted = api->halted_, handler, handler_error, quit = api->quit_]() -> std::uint32_t {
        halted->store(true);
        HandlerResult result;
        {
          const MutexLock lock(handler->mutex);
          result = handler->handler->on_closed();
        }
        if (!result) {
          handler_error->store(std::move(result.error()));
        }
        return quit->post();
      });
  if (!closed) {
    return windows_error(closed.error());
  }
  api->closed_token_ = *closed;

  auto last_size = item->get_size();
  if (!last_size) {
    return windows_error(last_size.error());
  }
  auto arrived = api->frame_pool_->add_frame_arrived(FrameArrivedHandler(
      api->halted_, handler, handler_error, api->quit_, api->winrt_device_, device, device_context, pixel_format,
      *last_size));
  if (!arrived) {
    return windows_error(arrived.error());
  }
  api->frame_arrived_token_ = *arrived;

  if (cursor != CursorCaptureMode::Default) {
    auto switchable = require_cursor_setting(cursor);
    if (!switchable) {
      return std::unexpected(std::move(switchable.error()));
    }
    if (*switchable) {
      if (auto set = api->session_->put_is_cursor_capture_enabled(cursor == CursorCaptureMode::WithCursor); !set) {
        return windows_error(set.error());
      }
    }
  }
  if (border != BorderMode::Default) {
    if (auto checked = require_border_setting(border); !checked) {
      return std::unexpected(std::move(checked.error()));
    }
    if (auto set = api->session_->put_is_border_required(border == BorderMode::WithBorder); !set) {
      return windows_error(set.error());
    }
  }
  return api;
}

std::expected<void, ApiError> GraphicsCaptureApi::start_capture() {
  active_ = true;
  if (auto started = session_->start_capture(); !started) {
    return windows_error(started.error());
  }
  return {};
}

void GraphicsCaptureApi::teardown() {
  if (frame_pool_) {
    std::shared_ptr<CaptureFramePool> pool = std::move(frame_pool_);
    if (frame_arrived_token_) {
      if (auto removed = pool->remove_frame_arrived(*frame_arrived_token_); !removed) {
        fatal("Failed to remove Frame Arrived event handler", removed.error());
      }
      frame_arrived_token_.reset();
    }
    if (auto closed = pool->close(); !closed) {
      fatal("Failed to Close Frame Pool", closed.error());
    }
  }
  if (session_) {
    std::shared_ptr<platform::wgc::CaptureSession> session = std::move(session_);
    if (auto closed = session->close(); !closed) {
      fatal("Failed to Close Capture Session", closed.error());
    }
  }
  if (closed_token_ && item_) {
    if (auto removed = item_->remove_closed(*closed_token_); !removed) {
      fatal("Failed to remove Capture Session Closed event handler", removed.error());
    }
    closed_token_.reset();
  }
}

void GraphicsCaptureApi::stop_capture(std::unique_ptr<GraphicsCaptureApi> api) {
  if (api) {
    api->teardown();
  }
}

GraphicsCaptureApi::~GraphicsCaptureApi() {
  teardown();
  item_.reset();
  device_.reset();
  winrt_device_.reset();
  device_context_.reset();
  halted_.reset();
}

void set_fatal_report(FatalReport report) { fatal_report.store(report, std::memory_order_release); }

std::expected<void, GraphicsCaptureApiError> join_multithreaded_apartment() {
  // S_FALSE (initialised already) is success.
  auto initialised = platform::current().graphics_capture().ro_initialize_multithreaded();
  if (!initialised || platform::status::failed(*initialised)) {
    return start_error(GraphicsCaptureApiError::Kind::FailedToInitWinRT);
  }
  return {};
}

std::expected<void, GraphicsCaptureApiError> start_session(CaptureTarget target, CursorCaptureMode cursor,
                                                           BorderMode border, std::uint8_t pixel_format,
                                                           HandlerFactory make_handler) {
  using Kind = GraphicsCaptureApiError::Kind;
  platform::Platform& platform = platform::current();
  platform::wgc::GraphicsCapture& capture = platform.graphics_capture();
  platform::Win32& win32 = platform.win32();

  // The apartment's usage is taken once per process and never given back, so
  // the runtime stays up however many sessions come and go.
  static std::once_flag mta_usage_once;
  std::call_once(mta_usage_once, [&capture] {
    auto cookie = capture.co_increment_mta_usage();
    if (!cookie) {
      fatal("Failed to increment MTA usage", cookie.error());
    }
    static const std::shared_ptr<platform::wgc::MtaUsageCookie>* kept =
        new std::shared_ptr<platform::wgc::MtaUsageCookie>(std::move(*cookie));
    static_cast<void>(kept);
  });

  if (auto joined = join_multithreaded_apartment(); !joined) {
    return joined;
  }

  auto controller = capture.create_dispatcher_queue_controller(platform::wgc::DispatcherQueueOptions{
      .size = 12,
      .thread_type = platform::wgc::DispatcherQueueThreadType::Current,
      .apartment_type = platform::wgc::DispatcherQueueApartmentType::None,
  });
  if (!controller || !*controller) {
    return start_error(Kind::FailedToCreateDispatcherQueueController);
  }

  const std::uint32_t thread_id = win32.get_current_thread_id();

  auto device = create_d3d_device();
  if (!device) {
    return start_error(Kind::DirectXError, device.error().message());
  }

  auto handler_error = std::make_shared<HandlerErrorCell>();

  auto handler_object = make_handler(*device);
  if (!handler_object) {
    return start_error(Kind::NewHandlerError, std::move(handler_object.error().message));
  }
  auto handler = std::make_shared<SharedHandler>(std::move(*handler_object));

  auto item = std::visit(
      [&capture](const auto& source) -> platform::Result<std::shared_ptr<platform::wgc::CaptureItem>> {
        if constexpr (std::is_same_v<std::decay_t<decltype(source)>, Window>) {
          return capture.create_for_window(source.handle());
        } else {
          return capture.create_for_monitor(source.handle());
        }
      },
      target);
  if (!item || !*item) {
    return start_error(Kind::ItemConvertFailed);
  }

  auto api = GraphicsCaptureApi::create(device->device, device->context, std::move(*item), handler, cursor, border,
                                        pixel_format, thread_id, handler_error);
  if (!api) {
    return start_error(Kind::GraphicsCaptureApi, api.error().message());
  }
  if (auto started = (*api)->start_capture(); !started) {
    return start_error(Kind::GraphicsCaptureApi, started.error().message());
  }

  // The handler's timer: a session must end on time even when no frame
  // comes (Windows 11 24H2 delivers none for a static screen).
  auto timer_id = win32.set_timer(handler_timer_period_ms);
  if (!timer_id) {
    return start_error(Kind::GraphicsCaptureApi,
                       ApiError{ApiError::Kind::WindowsError, timer_id.error(), std::nullopt}.message());
  }
  // Each tick also asks whether the device is still there: a device that
  // is gone may deliver no frame and no error at all.
  const LoopTimer timer{*timer_id, [&api, &handler, &handler_error, &device] {
                          std::atomic<bool>& halted = (*api)->halted();
                          if (halted.load()) {
                            return;
                          }
                          CaptureControl control;
                          HandlerResult result;
                          {
                            const MutexLock lock(handler->mutex);
                            if (auto removed = device_removed(*device->device)) {
                              result = handler->handler->on_device_removed(std::move(*removed));
                              if (result) {
                                control.stop();
                              }
                            } else {
                              result = handler->handler->on_timer(control);
                            }
                          }
                          static_cast<void>(
                              conclude(std::move(result), control, halted, *handler_error, (*api)->session_quit()));
                        }};
  run_message_loop(win32, &timer);
  static_cast<void>(win32.kill_timer(*timer_id));

  auto shutdown = (*controller)->shutdown_queue_async();
  if (!shutdown || !*shutdown) {
    return start_error(Kind::FailedToShutdownDispatcherQueue);
  }
  // The completion may run on another thread than this one; there
  // PostQuitMessage would end the wrong thread's loop, so the quit goes to
  // this thread by id. On this thread PostQuitMessage, which cannot fail.
  auto completed = (*shutdown)->put_completed([thread_id](platform::wgc::AsyncStatus) {
    platform::Win32& win32 = platform::current().win32();
    if (win32.get_current_thread_id() == thread_id) {
      win32.post_quit_message(0);
    } else {
      static_cast<void>(win32.post_thread_message(thread_id, platform::win32::wm_quit, 0, 0));
    }
  });
  if (!completed) {
    return start_error(Kind::FailedToSetDispatcherQueueCompletedHandler);
  }

  run_message_loop(win32);

  GraphicsCaptureApi::stop_capture(std::move(*api));

  if (std::optional<HandlerError> error = handler_error->take()) {
    return start_error(Kind::FrameHandlerError, std::move(error->message));
  }
  return {};
}

}  // namespace quorvex::wgc_capture
