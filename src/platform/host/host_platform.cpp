#include "platform/host/host_platform.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/host/x11_desktop.h"

namespace quorvex::platform {

namespace host {

HostPlatform::HostPlatform() : HostPlatform(std::make_unique<VirtualDesktop>()) {}

HostPlatform::HostPlatform(std::unique_ptr<DesktopSource> source)
    : source_(std::move(source)),
      virtual_desktop_(dynamic_cast<VirtualDesktop*>(source_.get())),
      queues_(std::make_shared<ThreadMessageQueues>()),
      win32_(*source_, queues_),
      graphics_capture_(*source_, queues_) {}

HostPlatform::~HostPlatform() = default;

}  // namespace host

std::expected<std::unique_ptr<Platform>, std::string> create_native_platform() {
  const char* chosen = std::getenv("QUORVEX_DESKTOP");
  const std::string_view desktop = chosen != nullptr ? chosen : "";
  if (desktop.empty() || desktop == "virtual") {
    return std::make_unique<host::HostPlatform>();
  }
  if (desktop == "x11") {
    auto x11 = host::X11Desktop::open();
    if (!x11) return std::unexpected(std::move(x11.error()));
    return std::make_unique<host::HostPlatform>(std::move(*x11));
  }
  return std::unexpected("unknown QUORVEX_DESKTOP '" + std::string(desktop) + "' (expected virtual or x11)");
}

}  // namespace quorvex::platform
