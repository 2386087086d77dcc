#include "platform/host/host_platform.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "app/diagnostics.h"
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

namespace {
// The platform is made on first use, deep inside whichever mode runs; a
// desktop that cannot be had is a start-up failure of the whole program, so
// it ends here with the program's own error line (nothing has reached stdout
// yet). _Exit: other threads may be running and must not see statics die.
[[noreturn]] void fail_start(const std::string& message) {
  const std::string line = app::diagnostics::error(message) + "\n";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
  std::_Exit(1);
}
}  // namespace

std::unique_ptr<Platform> create_native_platform() {
  const char* chosen = std::getenv("QUORVEX_DESKTOP");
  const std::string_view desktop = chosen != nullptr ? chosen : "";
  if (desktop.empty() || desktop == "virtual") {
    return std::make_unique<host::HostPlatform>();
  }
  if (desktop == "x11") {
    auto x11 = host::X11Desktop::open();
    if (!x11) fail_start(x11.error());
    return std::make_unique<host::HostPlatform>(std::move(*x11));
  }
  fail_start("unknown QUORVEX_DESKTOP '" + std::string(desktop) + "' (expected virtual or x11)");
}

}  // namespace quorvex::platform
