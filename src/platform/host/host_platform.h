// The host stand-in platform: every platform area behaving like the Windows
// services where the program can tell, built from real parts (a desktop
// source, libyuv and libx264). create_native_platform() returns one on
// Linux over the desktop QUORVEX_DESKTOP names (the virtual desktop unless it
// says "x11"); tests make their own and reach the desktop and the knobs here.
//
// Thread contract: the areas are free-threaded as their headers say; the
// knobs may be set from any thread, before the calls they should affect.
#pragma once

#include <memory>
#include <string>

#include "platform/host/host_d3d11.h"
#include "platform/host/host_graphics_capture.h"
#include "platform/host/host_media_foundation.h"
#include "platform/host/host_win32.h"
#include "platform/host/thread_message_queues.h"
#include "platform/host/virtual_desktop.h"
#include "platform/platform.h"

namespace quorvex::platform::host {

class HostPlatform final : public Platform {
 public:
  // Over a fresh virtual desktop.
  HostPlatform();
  // Over any desktop source.
  explicit HostPlatform(std::unique_ptr<DesktopSource> source);
  ~HostPlatform() override;

  Win32& win32() override { return win32_; }
  d3d11::D3D11& d3d11() override { return d3d11_; }
  mf::MediaFoundation& media_foundation() override { return media_foundation_; }
  wgc::GraphicsCapture& graphics_capture() override { return graphics_capture_; }
  std::string describe_status(std::uint32_t code) override { return standard_status_message(code); }

  // The virtual desktop this platform runs over; null when it runs over
  // another source (X11).
  [[nodiscard]] VirtualDesktop* desktop() { return virtual_desktop_; }
  [[nodiscard]] HostD3D11& host_d3d11() { return d3d11_; }
  [[nodiscard]] HostMediaFoundation& host_media_foundation() { return media_foundation_; }
  [[nodiscard]] HostGraphicsCapture& host_graphics_capture() { return graphics_capture_; }

 private:
  // Declaration order is teardown order in reverse: the capture service (and
  // its compositor thread) goes before the desktop it paints.
  std::unique_ptr<DesktopSource> source_;
  VirtualDesktop* virtual_desktop_;  // source_ when it is the virtual desktop, else null
  std::shared_ptr<ThreadMessageQueues> queues_;
  HostWin32 win32_;
  HostD3D11 d3d11_;
  HostMediaFoundation media_foundation_;
  HostGraphicsCapture graphics_capture_;
};

}  // namespace quorvex::platform::host
