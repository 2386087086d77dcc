// A display as a capture target: a copy of the system's display handle with
// the lookups the session driver and the source listing need.
//
// Thread contract: a plain value; the lookups may run on any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/handles.h"
#include "wgc_capture/utf16.h"

namespace quorvex::wgc_capture {

namespace monitor {

struct Error {
  enum class Kind {
    NotFound,
    IndexIsLowerThanOne,
    FailedToGetMonitorInfo,
    FailedToConvertWindowsString,
    WindowsError,
  };
  Kind kind = Kind::NotFound;
  // The wrapped error of WindowsError.
  std::optional<platform::Error> platform_error;

  [[nodiscard]] std::string message() const;
};

}  // namespace monitor

class Monitor {
 public:
  explicit Monitor(platform::MonitorHandle handle) : handle_(handle) {}

  // 1-based position in the system's display enumeration, which need not
  // start with the primary display.
  [[nodiscard]] static std::expected<Monitor, monitor::Error> from_index(std::uint64_t index);

  // Every display, in the order the system enumerates them.
  [[nodiscard]] static std::expected<std::vector<Monitor>, monitor::Error> enumerate();

  // "\\.\DISPLAY{n}".
  [[nodiscard]] std::expected<std::string, monitor::Error> device_name() const;

  [[nodiscard]] platform::MonitorHandle handle() const { return handle_; }

 private:
  platform::MonitorHandle handle_;
};

}  // namespace quorvex::wgc_capture
