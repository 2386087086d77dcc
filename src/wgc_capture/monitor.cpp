#include "wgc_capture/monitor.h"

#include "platform/platform.h"

namespace quorvex::wgc_capture {

namespace monitor {

std::string Error::message() const {
  switch (kind) {
    case Kind::NotFound: return "Failed to find monitor";
    case Kind::IndexIsLowerThanOne: return "Monitor index is lower than one";
    case Kind::FailedToGetMonitorInfo: return "Failed to get monitor info";
    case Kind::FailedToConvertWindowsString:
      return "Failed to convert windows string: " + Utf16Error{}.message();
    case Kind::WindowsError:
      return "Windows API error: " + (platform_error ? platform_error->text() : std::string());
  }
  return {};
}

}  // namespace monitor

std::expected<std::vector<Monitor>, monitor::Error> Monitor::enumerate() {
  std::vector<Monitor> monitors;
  auto enumerated = platform::current().win32().enum_display_monitors([&](platform::MonitorHandle handle) {
    monitors.emplace_back(handle);
    return true;
  });
  if (!enumerated) {
    return std::unexpected(monitor::Error{monitor::Error::Kind::WindowsError, enumerated.error()});
  }
  return monitors;
}

std::expected<Monitor, monitor::Error> Monitor::from_index(std::uint64_t index) {
  if (index == 0) {
    return std::unexpected(monitor::Error{monitor::Error::Kind::IndexIsLowerThanOne, std::nullopt});
  }
  auto monitors = enumerate();
  if (!monitors) {
    return std::unexpected(std::move(monitors.error()));
  }
  if (index - 1 >= monitors->size()) {
    return std::unexpected(monitor::Error{monitor::Error::Kind::NotFound, std::nullopt});
  }
  return (*monitors)[index - 1];
}

std::expected<std::string, monitor::Error> Monitor::device_name() const {
  auto info = platform::current().win32().get_monitor_info(handle_);
  if (!info) {
    return std::unexpected(monitor::Error{monitor::Error::Kind::FailedToGetMonitorInfo, std::nullopt});
  }
  auto name = decode_utf16(until_first_nul(info->device_name));
  if (!name) {
    return std::unexpected(
        monitor::Error{monitor::Error::Kind::FailedToConvertWindowsString, std::nullopt});
  }
  return std::move(*name);
}

}  // namespace quorvex::wgc_capture
