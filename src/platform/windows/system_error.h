// Turning Windows status codes (HRESULTs and last-error values) into
// platform::Error with the system's own message, and platform::Guid into the
// system's GUID.
//
// Thread contract: every function may be called from any thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <expected>
#include <string>

#include "platform/error.h"
#include "platform/guid.h"

namespace quorvex::platform::windows {

// FormatMessageW's text for the code, trailing line break removed, as UTF-8;
// empty when the system has no message.
[[nodiscard]] std::string describe_system_status(std::uint32_t code);

[[nodiscard]] Error system_error(std::uint32_t code);
[[nodiscard]] inline Error hresult_error(HRESULT hr) { return system_error(static_cast<std::uint32_t>(hr)); }
[[nodiscard]] inline std::unexpected<Error> hresult_failure(HRESULT hr) {
  return std::unexpected(hresult_error(hr));
}
[[nodiscard]] inline Status check(HRESULT hr) {
  if (FAILED(hr)) {
    return hresult_failure(hr);
  }
  return {};
}
// The calling thread's last error, as the failed call left it (may be 0).
[[nodiscard]] std::unexpected<Error> last_error_failure();

[[nodiscard]] GUID to_native(const Guid& guid);
[[nodiscard]] Guid from_native(const GUID& guid);

}  // namespace quorvex::platform::windows
