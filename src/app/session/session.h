// The capture session after the command line has been read: the border
// question, the capture item (window by title marker, window by id, display
// by index, or the primary display), then the capture layer's start() with
// the session's handler H until the capture ends. The caller starts the
// control reader first.
//
// Thread contract: main thread. It becomes the capture thread inside start().
#pragma once

#include <chrono>
#include <concepts>
#include <string_view>
#include <utility>

#include "app/config.h"
#include "app/error.h"
#include "app/session_clock.h"
#include "wgc_capture/graphics_capture_api.h"

namespace quorvex::app {

// How long a title marker is searched for, and the pause between attempts.
inline constexpr std::chrono::seconds title_marker_timeout{5};
inline constexpr std::chrono::milliseconds title_marker_retry_interval{100};

// Asks whether the capture border can be switched off, writes
// "capture_border hidden={true|false}" and returns the mode to use.
[[nodiscard]] Result<wgc_capture::BorderMode> choose_border_mode();

// The first capturable window whose title contains `marker`, searched until
// the timeout on `clock`.
[[nodiscard]] Result<wgc_capture::Window> find_window_by_title_marker(
    std::string_view marker, SessionClock& clock = steady_session_clock());

// The item the configuration selects, in the order title marker, window id,
// display index, primary display.
[[nodiscard]] Result<wgc_capture::CaptureTarget> resolve_capture_item(const Config& config);

// What the session_start line says of the item.
[[nodiscard]] SessionSource describe_source(const wgc_capture::CaptureTarget& item);

// The capture layer's fatal report: the "{what}: {error}" line, the last
// before the process aborts.
void write_capture_fatal(std::string_view what, const platform::Error& error);

template <class H>
  requires std::same_as<typename H::Flags, Config>
[[nodiscard]] Result<void> run_capture_session(Config config) {
  wgc_capture::set_fatal_report(&write_capture_fatal);
  // The border question is the first WinRT activation: the thread must be
  // in the apartment before it, not only once start() runs.
  if (auto joined = wgc_capture::join_multithreaded_apartment(); !joined) {
    return fail(joined.error().message());
  }
  auto border = choose_border_mode();
  if (!border) {
    return std::unexpected(std::move(border.error()));
  }
  auto item = resolve_capture_item(config);
  if (!item) {
    return std::unexpected(std::move(item.error()));
  }
  config.source = describe_source(*item);
  auto captured = wgc_capture::start<H>(wgc_capture::CaptureSettings<Config>{
      .flags = std::move(config),
      .item = *item,
      .cursor = wgc_capture::CursorCaptureMode::WithCursor,
      .border = *border,
      .pixel_format = wgc_capture::pixel_format_bgra8,
  });
  if (!captured) {
    return fail(captured.error().message());
  }
  return {};
}

}  // namespace quorvex::app
