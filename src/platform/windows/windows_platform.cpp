// The Windows build's platform: the four adapters and the system's messages.
#include "platform/platform.h"
#include "platform/windows/d3d11_adapter.h"
#include "platform/windows/graphics_capture_adapter.h"
#include "platform/windows/media_foundation_adapter.h"
#include "platform/windows/system_error.h"
#include "platform/windows/win32_adapter.h"

namespace quorvex::platform {
namespace {

class WindowsPlatform final : public Platform {
 public:
  Win32& win32() override { return win32_; }
  d3d11::D3D11& d3d11() override { return d3d11_; }
  mf::MediaFoundation& media_foundation() override { return media_foundation_; }
  wgc::GraphicsCapture& graphics_capture() override { return graphics_capture_; }
  std::string describe_status(std::uint32_t code) override {
    return windows::describe_system_status(code);
  }

 private:
  windows::Win32Adapter win32_;
  windows::D3D11Adapter d3d11_;
  windows::MediaFoundationAdapter media_foundation_;
  windows::GraphicsCaptureAdapter graphics_capture_;
};

}  // namespace

std::expected<std::unique_ptr<Platform>, std::string> create_native_platform() {
  return std::make_unique<WindowsPlatform>();
}

}  // namespace quorvex::platform
