// Turning a platform failure into the application's error, whose text is the
// platform error's own text ("{message} (0x80004005)").
#pragma once

#include <expected>

#include "app/error.h"
#include "platform/error.h"

namespace quorvex::app {

[[nodiscard]] inline Error from_platform(const platform::Error& error) { return Error{error.text()}; }

[[nodiscard]] inline std::unexpected<Error> fail_platform(const platform::Error& error) {
  return std::unexpected(from_platform(error));
}

// The platform's error for a status code, e.g. E_POINTER for a call that
// reported success without handing back an object.
[[nodiscard]] inline std::unexpected<Error> fail_status(std::uint32_t code) {
  return std::unexpected(from_platform(platform::error_from_status(code)));
}

}  // namespace quorvex::app
