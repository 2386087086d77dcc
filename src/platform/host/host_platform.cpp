#include "platform/host/host_platform.h"

namespace quorvex::platform {

namespace host {

HostPlatform::HostPlatform()
    : queues_(std::make_shared<ThreadMessageQueues>()),
      win32_(desktop_, queues_),
      graphics_capture_(desktop_, queues_) {}

HostPlatform::~HostPlatform() = default;

}  // namespace host

std::unique_ptr<Platform> create_native_platform() { return std::make_unique<host::HostPlatform>(); }

}  // namespace quorvex::platform
