// The capture session machinery: GraphicsCaptureApi (item, frame pool,
// capture session and the two event handlers) and the blocking entry point
// start<H>(), which runs one session on the calling thread.
//
// Thread contract: start() and GraphicsCaptureApi run on one thread, the
// capture thread, which also runs every FrameArrived handler inside its
// message loop. The Closed handler may run on any thread; both handlers reach
// shared state only through SharedHandler's mutex, HandlerErrorCell's mutex
// and the atomic halted flag, and end the loop by posting WM_QUIT to the
// capture thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "platform/graphics_capture.h"
#include "platform/thread_safety.h"
#include "wgc_capture/capture.h"
#include "wgc_capture/d3d11.h"
#include "wgc_capture/monitor.h"
#include "wgc_capture/window.h"

namespace quorvex::wgc_capture {

namespace graphics_capture_api {

struct Error {
  enum class Kind {
    Unsupported,
    CursorConfigUnsupported,
    BorderConfigUnsupported,
    DirectXError,
    WindowsError,
  };
  Kind kind = Kind::WindowsError;
  std::optional<platform::Error> platform_error;  // WindowsError
  std::optional<d3d11::Error> directx_error;      // DirectXError

  [[nodiscard]] std::string message() const;
};

}  // namespace graphics_capture_api

// What start() returns when a session could not run or ended with an error.
struct GraphicsCaptureApiError {
  enum class Kind {
    FailedToInitWinRT,
    FailedToCreateDispatcherQueueController,
    FailedToShutdownDispatcherQueue,
    FailedToSetDispatcherQueueCompletedHandler,
    ItemConvertFailed,
    DirectXError,
    GraphicsCaptureApi,  // wraps a graphics_capture_api::Error
    NewHandlerError,
    FrameHandlerError,
  };
  Kind kind = Kind::FailedToInitWinRT;
  // The wrapped error's text, for the wrapping kinds.
  std::string inner;

  [[nodiscard]] std::string message() const;
};

// The handler object behind the mutex that serialises its two callbacks.
struct SharedHandler {
  explicit SharedHandler(std::unique_ptr<GraphicsCaptureApiHandler> made) : handler(std::move(made)) {}

  Mutex mutex;
  std::unique_ptr<GraphicsCaptureApiHandler> handler QVX_GUARDED_BY(mutex);
};

// The session's handler error; the last one stored wins.
class HandlerErrorCell {
 public:
  void store(HandlerError error) {
    const MutexLock lock(mutex_);
    error_ = std::move(error);
  }
  [[nodiscard]] std::optional<HandlerError> take() {
    const MutexLock lock(mutex_);
    return std::exchange(error_, std::nullopt);
  }

 private:
  Mutex mutex_;
  std::optional<HandlerError> error_ QVX_GUARDED_BY(mutex_);
};

using CaptureTarget = std::variant<Monitor, Window>;

// Posts the quit that ends a session's first message loop, once.
class SessionQuit;

template <class Flags>
struct CaptureSettings {
  Flags flags;
  CaptureTarget item;
  CursorCaptureMode cursor = CursorCaptureMode::Default;
  BorderMode border = BorderMode::Default;
  std::uint8_t pixel_format = pixel_format_bgra8;
};

// One capture session: created with its event handlers registered, started
// once, and torn down by stop_capture() or by destruction.
class GraphicsCaptureApi {
 public:
  [[nodiscard]] static std::expected<std::unique_ptr<GraphicsCaptureApi>, graphics_capture_api::Error> create(
      std::shared_ptr<platform::d3d11::Device> device, std::shared_ptr<platform::d3d11::DeviceContext> device_context,
      std::shared_ptr<platform::wgc::CaptureItem> item, std::shared_ptr<SharedHandler> handler,
      CursorCaptureMode cursor, BorderMode border, std::uint8_t pixel_format, std::uint32_t thread_id,
      std::shared_ptr<HandlerErrorCell> handler_error);

  GraphicsCaptureApi(const GraphicsCaptureApi&) = delete;
  GraphicsCaptureApi& operator=(const GraphicsCaptureApi&) = delete;
  // Tears down whatever stop_capture has not, then releases the fields in
  // declaration order.
  ~GraphicsCaptureApi();

  [[nodiscard]] std::expected<void, graphics_capture_api::Error> start_capture();

  // Removes the event registrations and closes pool and session. These calls
  // must not fail; if one does, the process stops (see set_fatal_report).
  static void stop_capture(std::unique_ptr<GraphicsCaptureApi> api);

  [[nodiscard]] static std::expected<bool, graphics_capture_api::Error> is_border_settings_supported();
  [[nodiscard]] static std::expected<bool, graphics_capture_api::Error> is_cursor_settings_supported();

  [[nodiscard]] bool active() const { return active_; }
  // Set when the session is ending; events after it are ignored.
  [[nodiscard]] std::atomic<bool>& halted() const { return *halted_; }
  [[nodiscard]] SessionQuit& session_quit() const { return *quit_; }

 private:
  GraphicsCaptureApi() = default;
  void teardown();

  std::shared_ptr<platform::wgc::CaptureItem> item_;
  std::shared_ptr<platform::d3d11::Device> device_;
  std::shared_ptr<platform::wgc::Direct3DDevice> winrt_device_;
  std::shared_ptr<platform::d3d11::DeviceContext> device_context_;
  std::shared_ptr<platform::wgc::CaptureFramePool> frame_pool_;
  std::shared_ptr<platform::wgc::CaptureSession> session_;
  std::shared_ptr<std::atomic<bool>> halted_;
  std::shared_ptr<SessionQuit> quit_;
  bool active_ = false;
  std::optional<platform::wgc::EventRegistrationToken> closed_token_;
  std::optional<platform::wgc::EventRegistrationToken> frame_arrived_token_;
};

// Puts the calling thread into the multithreaded apartment (RoInitialize,
// kept for the life of the thread): every WinRT activation, the capability
// questions included, fails on a thread in no apartment. start() does it
// again, harmlessly. Fails with FailedToInitWinRT.
[[nodiscard]] std::expected<void, GraphicsCaptureApiError> join_multithreaded_apartment();

// A teardown call that cannot fail in a healthy process failed (closing the
// pool or the session, removing a handler, taking the apartment's usage):
// there is no caller left to handle it, so the process aborts. This layer
// writes nothing itself; the report installed here runs first, with the
// call's description ("Failed to Close Frame Pool") and its error. Install
// before starting a session; none: the process aborts without a word.
using FatalReport = void (*)(std::string_view what, const platform::Error& error);
void set_fatal_report(FatalReport report);

// Builds the handler once the device exists; start<H> makes one from H::create.
using HandlerFactory =
    std::move_only_function<std::expected<std::unique_ptr<GraphicsCaptureApiHandler>, HandlerError>(const D3DDevice&)>;

// The type-independent body of start<H>.
[[nodiscard]] std::expected<void, GraphicsCaptureApiError> start_session(CaptureTarget item, CursorCaptureMode cursor,
                                                                         BorderMode border, std::uint8_t pixel_format,
                                                                         HandlerFactory make_handler);

// Runs one capture session on the calling thread and returns when it is
// over: the handler stopped it, failed, or the item went away.
template <class H>
[[nodiscard]] std::expected<void, GraphicsCaptureApiError> start(CaptureSettings<typename H::Flags> settings) {
  HandlerFactory make_handler =
      [flags = std::move(settings.flags)](
          const D3DDevice& device) mutable -> std::expected<std::unique_ptr<GraphicsCaptureApiHandler>, HandlerError> {
    auto handler =
        H::create(HandlerContext<typename H::Flags>{std::move(flags), device.device, device.context});
    if (!handler) {
      return std::unexpected(HandlerError{std::move(handler.error().message)});
    }
    return std::unique_ptr<GraphicsCaptureApiHandler>(std::move(*handler));
  };
  return start_session(settings.item, settings.cursor, settings.border, settings.pixel_format,
                       std::move(make_handler));
}

}  // namespace quorvex::wgc_capture
