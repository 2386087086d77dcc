#include "app/session/list_sources.h"

#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "sender/window_share.h"
#include "wgc_capture/monitor.h"
#include "wgc_capture/utf16.h"
#include "wgc_capture/window.h"

namespace quorvex::app {
namespace {

constexpr std::string_view display_prefix = "\\\\.\\DISPLAY";
// Windows smaller than this are not worth offering as a share.
constexpr std::int32_t min_window_width = 120;
constexpr std::int32_t min_window_height = 80;

// The device names are ASCII in practice; encoding back is exact for any
// text decode_utf16 produced.
std::u16string utf16_from_utf8(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    char32_t cp = 0;
    std::size_t length = 1;
    if (lead < 0x80) {
      cp = lead;
    } else if (lead < 0xE0) {
      cp = lead & 0x1Fu;
      length = 2;
    } else if (lead < 0xF0) {
      cp = lead & 0x0Fu;
      length = 3;
    } else {
      cp = lead & 0x07u;
      length = 4;
    }
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    }
    i += length;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

// The monitor's name as the display configuration reports it, if any path
// leads to it.
std::optional<std::string> friendly_name(const wgc_capture::Monitor& monitor) {
  platform::Win32& win32 = platform::current().win32();
  if (!win32.get_monitor_info(monitor.handle())) {
    return std::nullopt;
  }
  auto sizes = win32.get_display_config_buffer_sizes(platform::win32::qdc_only_active_paths);
  if (!sizes) {
    return std::nullopt;
  }
  auto paths = win32.query_display_config(platform::win32::qdc_only_active_paths, *sizes);
  if (!paths) {
    return std::nullopt;
  }
  for (const platform::DisplayConfigPath& path : *paths) {
    auto source = win32.display_config_get_source_name(path.source_adapter_id, path.source_id);
    if (!source) {
      continue;
    }
    auto source_name = wgc_capture::decode_utf16(wgc_capture::until_first_nul(*source));
    if (!source_name) {
      return std::nullopt;
    }
    auto device_name = monitor.device_name();
    if (!device_name) {
      return std::nullopt;
    }
    if (*source_name != *device_name) {
      continue;
    }
    auto target = win32.display_config_get_target_name(path.source_adapter_id, path.target_id);
    if (!target) {
      return std::nullopt;
    }
    auto name = wgc_capture::decode_utf16(wgc_capture::until_first_nul(*target));
    if (!name) {
      return std::nullopt;
    }
    return std::move(*name);
  }
  return std::nullopt;
}

std::optional<sender::SourceDisplay> display_entry(const wgc_capture::Monitor& monitor, std::uint64_t position) {
  auto device_name = monitor.device_name();
  if (!device_name) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> number = display_number(*device_name);
  if (!number) {
    return std::nullopt;
  }
  const std::optional<std::string> name = friendly_name(monitor);
  std::string label = sender::display_label(name ? std::optional<std::string_view>(*name) : std::nullopt, position);

  platform::Win32& win32 = platform::current().win32();
  const std::u16string device_name_utf16 = utf16_from_utf8(*device_name);
  auto width_settings = win32.enum_display_settings(device_name_utf16, platform::win32::enum_current_settings);
  if (!width_settings) {
    return std::nullopt;
  }
  auto height_settings = win32.enum_display_settings(device_name_utf16, platform::win32::enum_current_settings);
  if (!height_settings) {
    return std::nullopt;
  }
  return sender::SourceDisplay{*number, std::move(label), width_settings->pels_width, height_settings->pels_height};
}

std::optional<std::string> executable_name(std::uint32_t process_id) {
  platform::Win32& win32 = platform::current().win32();
  auto process = win32.open_process(platform::win32::process_query_information | platform::win32::process_vm_read,
                                    false, process_id);
  if (!process || !*process) {
    return std::nullopt;
  }
  std::u16string buffer(platform::win32::max_path, u'\0');
  if ((*process)->get_module_base_name(buffer) == 0) {
    return std::nullopt;
  }
  auto name = wgc_capture::decode_utf16(wgc_capture::until_first_nul(buffer));
  if (!name) {
    return std::nullopt;
  }
  return std::move(*name);
}

std::optional<sender::SourceWindow> window_entry(const wgc_capture::Window& window, std::uint32_t own_process_id) {
  platform::Win32& win32 = platform::current().win32();
  auto rect = win32.get_window_rect(window.handle());
  if (!rect) {
    return std::nullopt;
  }
  const std::uint32_t process_id = win32.get_window_thread_process_id(window.handle());
  if (process_id == 0) {
    return std::nullopt;
  }
  // 64-bit so that extreme coordinates cannot overflow the subtraction.
  const std::int64_t width = std::int64_t{rect->right} - rect->left;
  const std::int64_t height = std::int64_t{rect->bottom} - rect->top;
  if (width < min_window_width || height < min_window_height) {
    return std::nullopt;
  }
  if (process_id == own_process_id) {
    return std::nullopt;
  }
  std::optional<std::string> app = executable_name(process_id);
  if (!app) {
    return std::nullopt;
  }
  auto title = window.title();
  if (!title) {
    return std::nullopt;
  }
  return sender::SourceWindow{window.handle().value, std::move(*app), std::move(*title), std::nullopt};
}

}  // namespace

// The number in "\\.\DISPLAY{n}": every occurrence of the prefix removed,
// then an unsigned decimal with an optional single '+'.
std::optional<std::uint64_t> display_number(std::string_view device_name) {
  std::string rest;
  for (std::size_t i = 0; i < device_name.size();) {
    if (device_name.substr(i, display_prefix.size()) == display_prefix) {
      i += display_prefix.size();
    } else {
      rest.push_back(device_name[i++]);
    }
  }
  std::string_view digits = rest;
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
  }
  if (digits.empty()) {
    return std::nullopt;
  }
  for (char c : digits) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

Result<std::string> sources_document() {
  auto monitors = wgc_capture::Monitor::enumerate();
  if (!monitors) {
    return fail(monitors.error().message());
  }
  std::vector<sender::SourceDisplay> displays;
  for (std::size_t position = 0; position < monitors->size(); ++position) {
    if (auto entry = display_entry((*monitors)[position], position)) {
      displays.push_back(std::move(*entry));
    }
  }

  const std::uint32_t own_process_id = platform::current().win32().get_current_process_id();
  auto windows = wgc_capture::Window::enumerate();
  if (!windows) {
    return fail(windows.error().message());
  }
  std::vector<sender::SourceWindow> entries;
  for (const wgc_capture::Window& window : *windows) {
    if (auto entry = window_entry(window, own_process_id)) {
      entries.push_back(std::move(*entry));
    }
  }
  return sender::sources_json(displays, entries);
}

Result<void> list_sources() {
  auto document = sources_document();
  if (!document) {
    return std::unexpected(std::move(document.error()));
  }
  document->push_back('\n');
  const std::size_t written = std::fwrite(document->data(), 1, document->size(), stdout);
  if (written != document->size() || std::fflush(stdout) != 0) {
    return fail("failed to write the source list to standard output");
  }
  return {};
}

}  // namespace quorvex::app
