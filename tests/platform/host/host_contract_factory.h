// The host stand-in's side of the contract suites.
#pragma once

#include <thread>

#include "contract/contract_factory.h"
#include "platform/host/host_platform.h"
#include "platform/host/host_texture.h"

namespace quorvex::platform::host {

struct HostFactory {
  static std::unique_ptr<Platform> create() { return std::make_unique<HostPlatform>(); }

  static void write_bgra(Platform&, d3d11::Texture2D& texture,
                         const std::function<std::array<std::uint8_t, 4>(int, int)>& pixel) {
    HostTexture& t = *HostTexture::from(texture);
    for (int y = 0; y < t.height(); ++y) {
      for (int x = 0; x < t.width(); ++x) {
        const auto p = pixel(x, y);
        std::copy(p.begin(), p.end(), t.data() + y * t.pitch() + x * 4);
      }
    }
  }
  static std::uint8_t luma(Platform&, d3d11::Texture2D& texture, int x, int y) {
    HostTexture& t = *HostTexture::from(texture);
    return t.data()[y * t.pitch() + x];
  }
  static std::array<std::uint8_t, 2> chroma(Platform&, d3d11::Texture2D& texture, int cx, int cy) {
    HostTexture& t = *HostTexture::from(texture);
    const std::uint8_t* p = t.chroma() + cy * t.pitch() + cx * 2;
    return {p[0], p[1]};
  }
  static void let_capture_run(Platform&, std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace quorvex::platform::host
