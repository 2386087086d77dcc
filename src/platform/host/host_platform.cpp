#include "platform/platform.h"

namespace quorvex::platform {

std::unique_ptr<Platform> create_native_platform() { return nullptr; }

}  // namespace quorvex::platform
