#include "app/session/session.h"

#include <string>

#include "app/diagnostics.h"
#include "app/session/list_sources.h"
#include "app/stderr_line.h"
#include "platform/platform.h"

namespace quorvex::app {

void write_capture_fatal(std::string_view what, const platform::Error& error) {
  standard_error().write(diagnostics::fatal(what, error.text()));
}

Result<wgc_capture::BorderMode> choose_border_mode() {
  auto supported = wgc_capture::GraphicsCaptureApi::is_border_settings_supported();
  if (!supported) {
    return fail(supported.error().message());
  }
  standard_error().write(diagnostics::capture_border(*supported));
  return *supported ? wgc_capture::BorderMode::WithoutBorder : wgc_capture::BorderMode::Default;
}

namespace {

// One pass over the capturable windows. A window whose title cannot be read
// is passed over: it cannot match, and it must not hide a later window that
// does.
std::optional<wgc_capture::Window> find_window_once(std::string_view marker) {
  auto windows = wgc_capture::Window::enumerate();
  if (!windows) {
    return std::nullopt;
  }
  for (const wgc_capture::Window& window : *windows) {
    auto title = window.title();
    if (title && title->find(marker) != std::string::npos) {
      return window;
    }
  }
  return std::nullopt;
}

}  // namespace

Result<wgc_capture::Window> find_window_by_title_marker(std::string_view marker, SessionClock& clock) {
  const std::string wanted(marker);
  const auto deadline = clock.now() + title_marker_timeout;
  for (;;) {
    if (auto found = find_window_once(wanted)) {
      return *found;
    }
    if (clock.now() >= deadline) {
      return fail("shared tab window not found (title marker)");
    }
    clock.sleep_for(title_marker_retry_interval);
  }
}

SessionSource describe_source(const wgc_capture::CaptureTarget& item) {
  if (const auto* window = std::get_if<wgc_capture::Window>(&item)) {
    auto title = window->title();
    return SessionSource::window(window->handle().value, title ? std::move(*title) : std::string());
  }
  auto name = std::get<wgc_capture::Monitor>(item).device_name();
  return SessionSource::display(name ? display_number(*name) : std::nullopt);
}

Result<wgc_capture::CaptureTarget> resolve_capture_item(const Config& config) {
  if (config.window_title) {
    auto window = find_window_by_title_marker(*config.window_title);
    if (!window) {
      return std::unexpected(std::move(window.error()));
    }
    standard_error().write(diagnostics::capture_window_found());
    return wgc_capture::CaptureTarget(*window);
  }
  if (config.window_id) {
    const platform::WindowHandle handle{*config.window_id};
    if (!wgc_capture::Window::is_valid(handle)) {
      return fail("window not found (id)");
    }
    return wgc_capture::CaptureTarget(wgc_capture::Window(handle));
  }
  if (config.display_number) {
    auto monitors = wgc_capture::Monitor::enumerate();
    if (!monitors) {
      return fail(monitors.error().message());
    }
    for (const wgc_capture::Monitor& monitor : *monitors) {
      const auto name = monitor.device_name();
      if (name && display_number(*name) == config.display_number) {
        return wgc_capture::CaptureTarget(monitor);
      }
    }
    return fail("no display has the number " + std::to_string(*config.display_number) +
                " (the \"id\" of --list-sources)");
  }
  if (config.display_id) {
    auto monitor = wgc_capture::Monitor::from_index(*config.display_id);
    if (!monitor) {
      return fail(monitor.error().message());
    }
    return wgc_capture::CaptureTarget(*monitor);
  }
  // The primary display is the one holding the desktop's origin.
  const platform::MonitorHandle primary =
      platform::current().win32().monitor_from_point(platform::Point{0, 0}, platform::win32::monitor_defaulttonull);
  constexpr std::uint64_t invalid_handle_value = ~std::uint64_t{0};
  if (primary.is_null() || primary.value == invalid_handle_value) {
    return fail("Failed to find monitor");
  }
  return wgc_capture::CaptureTarget(wgc_capture::Monitor(primary));
}

}  // namespace quorvex::app
