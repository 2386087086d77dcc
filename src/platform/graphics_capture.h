// The platform runtime, the dispatcher queue and Windows.Graphics.Capture:
// capture items for a window or a display, the frame pool, the capture
// session and its frames, and the ApiInformation capability questions.
//
// Thread contract: the frame pool is the non-free-threaded kind. FrameArrived
// handlers run on the thread that created the pool's dispatcher queue,
// inside Win32::dispatch_message; Closed handlers may run on any thread.
// An event handler returns the status it hands back to the platform (0 for
// success). Handlers stay alive until their registration is removed and the
// object that holds them is closed or released.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/d3d11.h"
#include "platform/error.h"
#include "platform/handles.h"

namespace quorvex::platform::wgc {

struct SizeInt32 {
  std::int32_t width = 0;
  std::int32_t height = 0;
  friend bool operator==(SizeInt32, SizeInt32) = default;
};

struct EventRegistrationToken {
  std::int64_t value = 0;
  friend bool operator==(EventRegistrationToken, EventRegistrationToken) = default;
};

enum class AsyncStatus : std::int32_t { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

enum class DispatcherQueueThreadType : std::uint32_t { Dedicated = 1, Current = 2 };
enum class DispatcherQueueApartmentType : std::uint32_t { None = 0, Asta = 1, Sta = 2 };

struct DispatcherQueueOptions {
  std::uint32_t size = 12;
  DispatcherQueueThreadType thread_type = DispatcherQueueThreadType::Current;
  DispatcherQueueApartmentType apartment_type = DispatcherQueueApartmentType::None;
};

inline constexpr std::string_view universal_api_contract = "Windows.Foundation.UniversalApiContract";
inline constexpr std::string_view graphics_capture_session_type =
    "Windows.Graphics.Capture.GraphicsCaptureSession";
inline constexpr std::string_view is_border_required_property = "IsBorderRequired";
inline constexpr std::string_view is_cursor_capture_enabled_property = "IsCursorCaptureEnabled";

// The capture service's device (IDirect3DDevice over the D3D11 device).
class Direct3DDevice {
 public:
  virtual ~Direct3DDevice() = default;
};

// A captured surface (IDirect3DSurface).
class Direct3DSurface {
 public:
  virtual ~Direct3DSurface() = default;
  // IDirect3DDxgiInterfaceAccess::GetInterface(ID3D11Texture2D).
  [[nodiscard]] virtual Result<std::shared_ptr<d3d11::Texture2D>> get_texture() = 0;
};

// Direct3D11CaptureFrame. Releasing (or closing) it returns its buffer to
// the pool.
class CaptureFrame {
 public:
  virtual ~CaptureFrame() = default;
  [[nodiscard]] virtual Result<std::shared_ptr<Direct3DSurface>> get_surface() = 0;
  // Composition time on the performance-counter clock, 100-ns units.
  [[nodiscard]] virtual Result<std::int64_t> get_system_relative_time() = 0;
  [[nodiscard]] virtual Result<SizeInt32> get_content_size() = 0;
  [[nodiscard]] virtual Status close() = 0;
};

class CaptureItem {
 public:
  using ClosedHandler = std::function<std::uint32_t()>;
  virtual ~CaptureItem() = default;
  [[nodiscard]] virtual Result<SizeInt32> get_size() = 0;
  [[nodiscard]] virtual Result<EventRegistrationToken> add_closed(ClosedHandler handler) = 0;
  [[nodiscard]] virtual Status remove_closed(EventRegistrationToken token) = 0;
};

class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  [[nodiscard]] virtual Status start_capture() = 0;
  [[nodiscard]] virtual Status put_is_cursor_capture_enabled(bool enabled) = 0;
  [[nodiscard]] virtual Status put_is_border_required(bool required) = 0;
  [[nodiscard]] virtual Status close() = 0;
};

class CaptureFramePool {
 public:
  // The sender is the pool itself.
  using FrameArrivedHandler = std::function<std::uint32_t(CaptureFramePool& sender)>;
  virtual ~CaptureFramePool() = default;
  [[nodiscard]] virtual Status recreate(Direct3DDevice& device, std::int32_t pixel_format,
                                        std::int32_t number_of_buffers, SizeInt32 size) = 0;
  // Null when the pool holds no frame.
  [[nodiscard]] virtual Result<std::shared_ptr<CaptureFrame>> try_get_next_frame() = 0;
  [[nodiscard]] virtual Result<EventRegistrationToken> add_frame_arrived(
      FrameArrivedHandler handler) = 0;
  [[nodiscard]] virtual Status remove_frame_arrived(EventRegistrationToken token) = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<CaptureSession>> create_capture_session(
      CaptureItem& item) = 0;
  [[nodiscard]] virtual Status close() = 0;
};

class AsyncAction {
 public:
  using CompletedHandler = std::function<void(AsyncStatus)>;
  virtual ~AsyncAction() = default;
  [[nodiscard]] virtual Status put_completed(CompletedHandler handler) = 0;
};

class DispatcherQueueController {
 public:
  virtual ~DispatcherQueueController() = default;
  [[nodiscard]] virtual Result<std::shared_ptr<AsyncAction>> shutdown_queue_async() = 0;
};

// A usage count of the multithreaded apartment (CoIncrementMTAUsage).
class MtaUsageCookie {
 public:
  virtual ~MtaUsageCookie() = default;
};

class GraphicsCapture {
 public:
  virtual ~GraphicsCapture() = default;

  // RoInitialize(RO_INIT_MULTITHREADED). Success codes are kept (S_FALSE
  // means the thread was initialised already).
  [[nodiscard]] virtual Result<std::uint32_t> ro_initialize_multithreaded() = 0;
  // CoIncrementMTAUsage. The cookie is never released by the program.
  [[nodiscard]] virtual Result<std::shared_ptr<MtaUsageCookie>> co_increment_mta_usage() = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<DispatcherQueueController>>
  create_dispatcher_queue_controller(const DispatcherQueueOptions& options) = 0;

  // ApiInformation.
  [[nodiscard]] virtual Result<bool> is_property_present(std::string_view type_name,
                                                         std::string_view property_name) = 0;
  [[nodiscard]] virtual Result<bool> is_api_contract_present_by_major(std::string_view contract_name,
                                                                      std::uint16_t major_version) = 0;
  // GraphicsCaptureSession.IsSupported.
  [[nodiscard]] virtual Result<bool> is_supported() = 0;

  // IGraphicsCaptureItemInterop.
  [[nodiscard]] virtual Result<std::shared_ptr<CaptureItem>> create_for_window(WindowHandle window) = 0;
  [[nodiscard]] virtual Result<std::shared_ptr<CaptureItem>> create_for_monitor(MonitorHandle monitor) = 0;

  // CreateDirect3D11DeviceFromDXGIDevice, then the query for IDirect3DDevice.
  [[nodiscard]] virtual Result<std::shared_ptr<Direct3DDevice>> create_direct3d11_device_from_dxgi_device(
      d3d11::DxgiDevice& dxgi_device) = 0;

  // Direct3D11CaptureFramePool.Create (not the free-threaded variant).
  [[nodiscard]] virtual Result<std::shared_ptr<CaptureFramePool>> create_frame_pool(
      Direct3DDevice& device, std::int32_t pixel_format, std::int32_t number_of_buffers,
      SizeInt32 size) = 0;
};

}  // namespace quorvex::platform::wgc
