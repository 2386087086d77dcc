// The installed platform: one per process, chosen by the build (the Windows
// implementation or the host stand-in). Tests install a fake for the length
// of a test with ScopedPlatform. Nothing else in the program is global.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "platform/d3d11.h"
#include "platform/graphics_capture.h"
#include "platform/media_foundation.h"
#include "platform/win32.h"

namespace quorvex::platform {

class Platform {
 public:
  virtual ~Platform() = default;
  [[nodiscard]] virtual Win32& win32() = 0;
  [[nodiscard]] virtual d3d11::D3D11& d3d11() = 0;
  [[nodiscard]] virtual mf::MediaFoundation& media_foundation() = 0;
  [[nodiscard]] virtual wgc::GraphicsCapture& graphics_capture() = 0;
  // The system's message for a status code, without the code; empty when the
  // system has none.
  [[nodiscard]] virtual std::string describe_status(std::uint32_t code) = 0;
};

// The installed platform: a test's (ScopedPlatform), or else the build's
// own, created on first use.
[[nodiscard]] Platform& current();

// Creates the build's own platform now, unless a test's is installed, and
// says why when it cannot be had (the host's X11 desktop without a server):
// the program's modes call it before anything else and report that as their
// error. Nothing is written here. current() after a failed open aborts.
[[nodiscard]] std::expected<void, std::string> open_native();

// The build's own implementation: the Windows adapters or the host stand-in;
// the error is the program's message.
[[nodiscard]] std::expected<std::unique_ptr<Platform>, std::string> create_native_platform();

// Installs a platform for the guard's lifetime; restores the previous one.
// Not thread-safe: install before starting threads that use the platform.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& platform);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

}  // namespace quorvex::platform
