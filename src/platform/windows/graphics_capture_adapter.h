// platform::wgc over the Windows Runtime: RoInitialize, the dispatcher
// queue, ApiInformation and Windows.Graphics.Capture, called through the
// hand-written interfaces of winrt_abi.h.
//
// Thread contract: stateless apart from CoreMessaging.dll, which is loaded
// once on first use and kept; objects forward to the runtime objects they
// hold (see platform/graphics_capture.h for which thread calls what).
#pragma once

#include "platform/graphics_capture.h"

namespace quorvex::platform::windows {

namespace abi {
struct IDirect3D11CaptureFramePool;
struct IGraphicsCaptureItem;
struct IGraphicsCaptureSession;
}  // namespace abi

// Adapters over runtime objects the caller holds (each takes a reference of
// its own). The program gets these objects from GraphicsCapture; tests drive
// the adapters with objects of their own, since Wine has no capture service.
[[nodiscard]] std::shared_ptr<wgc::CaptureFramePool> make_frame_pool_adapter(
    abi::IDirect3D11CaptureFramePool* pool);
[[nodiscard]] std::shared_ptr<wgc::CaptureItem> make_capture_item_adapter(abi::IGraphicsCaptureItem* item);
[[nodiscard]] std::shared_ptr<wgc::CaptureSession> make_capture_session_adapter(
    abi::IGraphicsCaptureSession* session);

class GraphicsCaptureAdapter final : public wgc::GraphicsCapture {
 public:
  Result<std::uint32_t> ro_initialize_multithreaded() override;
  Result<std::shared_ptr<wgc::MtaUsageCookie>> co_increment_mta_usage() override;
  Result<std::shared_ptr<wgc::DispatcherQueueController>> create_dispatcher_queue_controller(
      const wgc::DispatcherQueueOptions& options) override;
  Result<bool> is_property_present(std::string_view type_name,
                                   std::string_view property_name) override;
  Result<bool> is_api_contract_present_by_major(std::string_view contract_name,
                                                std::uint16_t major_version) override;
  Result<bool> is_supported() override;
  Result<std::shared_ptr<wgc::CaptureItem>> create_for_window(WindowHandle window) override;
  Result<std::shared_ptr<wgc::CaptureItem>> create_for_monitor(MonitorHandle monitor) override;
  Result<std::shared_ptr<wgc::Direct3DDevice>> create_direct3d11_device_from_dxgi_device(
      d3d11::DxgiDevice& dxgi_device) override;
  Result<std::shared_ptr<wgc::CaptureFramePool>> create_frame_pool(wgc::Direct3DDevice& device,
                                                                   std::int32_t pixel_format,
                                                                   std::int32_t number_of_buffers,
                                                                   wgc::SizeInt32 size) override;
};

}  // namespace quorvex::platform::windows
