// A platform assembled from four separately owned areas, so a test can pair,
// say, a scripted encoder transform with the host stand-in's Direct3D device.
#pragma once

#include "platform/platform.h"

namespace quorvex::platform {

class CompositePlatform final : public Platform {
 public:
  CompositePlatform(Win32& win32, d3d11::D3D11& d3d11, mf::MediaFoundation& media_foundation,
                    wgc::GraphicsCapture& graphics_capture)
      : win32_(win32), d3d11_(d3d11), media_foundation_(media_foundation), graphics_capture_(graphics_capture) {}

  Win32& win32() override { return win32_; }
  d3d11::D3D11& d3d11() override { return d3d11_; }
  mf::MediaFoundation& media_foundation() override { return media_foundation_; }
  wgc::GraphicsCapture& graphics_capture() override { return graphics_capture_; }
  std::string describe_status(std::uint32_t code) override { return standard_status_message(code); }

 private:
  Win32& win32_;
  d3d11::D3D11& d3d11_;
  mf::MediaFoundation& media_foundation_;
  wgc::GraphicsCapture& graphics_capture_;
};

}  // namespace quorvex::platform
