// Windows.Graphics.Capture over the desktop source (desktop_source.h).
//
// Items stand for a display or a window of the desktop; their size is the
// display's size or the window's outer size at the moment it is asked.
// A started session gets a frame composed at a display refresh (60 Hz) on the
// compositor thread ("qvx-compositor") whenever its picture is due (the
// virtual desktop: at every refresh; X11: after damage) and its pool has a
// free buffer. The compositor polls a feed at the refreshes it asks for and
// after the desktop source's notices (at most once a refresh), else once a
// second, so a still X11 desktop wakes it hardly at all; with both buffers taken (waiting in the pool or held by the
// program) the frame is dropped. The picture is drawn into the buffer at the
// item's current size (clipped to the buffer) and the frame's ContentSize is
// that size; Recreate changes the buffers' size. Frames of hidden windows are
// not composed. SystemRelativeTime is the composition instant on the
// performance-counter clock.
//
// FrameArrived runs on the thread whose dispatcher queue the pool was created
// on, inside that thread's Win32::dispatch_message; one event per composed
// frame. Closed runs on the compositor thread, once, when the item's display
// or window goes away. The dispatcher queue's shutdown completes on its own
// thread's message loop.
//
// ApiInformation answers that GraphicsCaptureSession has IsBorderRequired and
// IsCursorCaptureEnabled and that the universal API contract is present up
// to major version 15; tests can take the properties away.
//
// Thread contract: every operation may be called from any thread; see above
// for where handlers run.
#pragma once

#include <atomic>
#include <memory>

#include "platform/graphics_capture.h"
#include "platform/host/thread_message_queues.h"
#include "platform/host/desktop_source.h"

namespace quorvex::platform::host {

class CaptureService;

class HostGraphicsCapture final : public wgc::GraphicsCapture {
 public:
  HostGraphicsCapture(DesktopSource& desktop, std::shared_ptr<ThreadMessageQueues> queues);
  ~HostGraphicsCapture() override;

  Result<std::uint32_t> ro_initialize_multithreaded() override;
  Result<std::shared_ptr<wgc::MtaUsageCookie>> co_increment_mta_usage() override;
  Result<std::shared_ptr<wgc::DispatcherQueueController>> create_dispatcher_queue_controller(
      const wgc::DispatcherQueueOptions& options) override;
  Result<bool> is_property_present(std::string_view type_name, std::string_view property_name) override;
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

  // Knobs for tests of the capture layer.
  void set_property_present(std::string_view property_name, bool present);
  void set_supported(bool supported) { supported_.store(supported); }
  // Frames composed and frames dropped because the pool was full, over all
  // sessions.
  [[nodiscard]] std::uint64_t frames_composed() const;
  [[nodiscard]] std::uint64_t frames_dropped() const;

 private:
  std::shared_ptr<CaptureService> service_;
  std::atomic<bool> border_property_{true};
  std::atomic<bool> cursor_property_{true};
  std::atomic<bool> supported_{true};
};

}  // namespace quorvex::platform::host
