// What the capture layer hands to the handler it drives: the per-session
// context, one frame at a time, and the stop flag. The session machinery
// (GraphicsCaptureApi, start) lives in graphics_capture_api.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/d3d11.h"
#include "platform/graphics_capture.h"

namespace quorvex::wgc_capture {

// A handler's error: any failure with a text. Crosses threads.
struct HandlerError {
  std::string message;
};
using HandlerResult = std::expected<void, HandlerError>;

enum class CursorCaptureMode : std::uint8_t { Default = 0, WithCursor = 1, WithoutCursor = 2 };
enum class BorderMode : std::uint8_t { Default = 0, WithBorder = 1, WithoutBorder = 2 };

// DXGI_FORMAT_B8G8R8A8_UNORM, the pool's pixel format in this program.
inline constexpr std::uint8_t pixel_format_bgra8 = 87;

// One delivered frame, lent to on_frame_arrived for the duration of the call:
// the texture belongs to the frame pool and returns to it afterwards.
struct Frame {
  platform::d3d11::Device& device;
  std::shared_ptr<platform::wgc::Direct3DSurface> surface;
  std::shared_ptr<platform::d3d11::Texture2D> texture;
  platform::d3d11::DeviceContext& device_context;
  std::int64_t timestamp_100ns = 0;  // composition time, performance-counter clock
  std::uint32_t width = 0;           // from the texture's description
  std::uint32_t height = 0;
  std::uint8_t pixel_format = pixel_format_bgra8;
};

// The stop flag of one frame callback. A handler calls stop() to end the
// session without an error.
class CaptureControl {
 public:
  void stop() { stopped_->store(true); }
  [[nodiscard]] bool is_stopped() const { return stopped_->load(); }

 private:
  std::shared_ptr<std::atomic<bool>> stopped_ = std::make_shared<std::atomic<bool>>(false);
};

// What a handler's create() receives.
template <class Flags>
struct HandlerContext {
  Flags flags;
  std::shared_ptr<platform::d3d11::Device> device;
  std::shared_ptr<platform::d3d11::DeviceContext> device_context;
};

// The handler interface. A handler type H also provides
//   using Flags = ...;
//   static std::expected<std::unique_ptr<H>, HandlerError> create(HandlerContext<Flags>);
// Calls arrive one at a time under the capture layer's handler mutex:
// on_frame_arrived and on_timer on the thread that runs start(), on_closed
// on whichever thread the platform raises Closed on.
class GraphicsCaptureApiHandler {
 public:
  virtual ~GraphicsCaptureApiHandler() = default;
  [[nodiscard]] virtual HandlerResult on_frame_arrived(Frame& frame, CaptureControl& control) = 0;
  [[nodiscard]] virtual HandlerResult on_closed() = 0;
  // Every handler_timer_period while capture runs, whether frames come or
  // not (a static screen may deliver none at all). Like on_frame_arrived it
  // may stop the session or end it with an error.
  [[nodiscard]] virtual HandlerResult on_timer(CaptureControl& control) {
    static_cast<void>(control);
    return {};
  }
  // The session's device is gone (driver update or crash, adapter removed,
  // GPU reset); `error` names the reason. The session ends with what this
  // returns (`error` itself unless the handler knows better); no frame or
  // timer call follows. Runs on the thread that runs start().
  [[nodiscard]] virtual HandlerResult on_device_removed(HandlerError error) { return std::unexpected(std::move(error)); }
};

// "graphics device removed: {reason}", {reason} being the system's text of
// GetDeviceRemovedReason's code, when `device` is gone; nothing while it
// works.
[[nodiscard]] std::optional<HandlerError> device_removed(platform::d3d11::Device& device);

// The period of on_timer: how late a session without frames notices its
// deadline or a failure at worst.
inline constexpr std::uint32_t handler_timer_period_ms = 100;

}  // namespace quorvex::wgc_capture
