#include "wgc_capture/window.h"

#include "platform/platform.h"

namespace quorvex::wgc_capture {

namespace window {

std::string Error::message() const {
  switch (kind) {
    case Kind::FailedToConvertWindowsString:
      return "Failed to convert windows string from UTF-16: " + Utf16Error{}.message();
    case Kind::WindowsError:
      return "Windows API error: " + (platform_error ? platform_error->text() : std::string());
  }
  return {};
}

}  // namespace window

std::expected<std::vector<Window>, window::Error> Window::enumerate() {
  platform::Win32& win32 = platform::current().win32();
  std::vector<Window> windows;
  auto enumerated = win32.enum_child_windows(win32.get_desktop_window(), [&](platform::WindowHandle handle) {
    if (is_valid(handle) && !is_cloaked(handle)) {
      windows.emplace_back(handle);
    }
    return true;
  });
  if (!enumerated) {
    return std::unexpected(window::Error{window::Error::Kind::WindowsError, enumerated.error()});
  }
  return windows;
}

bool Window::is_valid(platform::WindowHandle handle) {
  platform::Win32& win32 = platform::current().win32();
  if (!win32.is_window_visible(handle)) {
    return false;
  }
  if (win32.get_window_thread_process_id(handle) == win32.get_current_process_id()) {
    return false;
  }
  // Only a failure with a nonzero last error counts; the size itself is not
  // examined, so windows with an empty client area stay capturable.
  if (auto client = win32.get_client_rect(handle); !client && client.error().code() != 0) {
    return false;
  }
  const auto style = static_cast<std::uint64_t>(win32.get_window_long_ptr(handle, platform::win32::gwl_style));
  const auto ex_style =
      static_cast<std::uint64_t>(win32.get_window_long_ptr(handle, platform::win32::gwl_exstyle));
  return (style & platform::win32::ws_child) == 0 && (ex_style & platform::win32::ws_ex_toolwindow) == 0;
}

bool Window::is_cloaked(platform::WindowHandle handle) {
  // Where the compositor cannot say (DWM off), nothing is cloaked.
  auto cloaked = platform::current().win32().dwm_get_window_attribute_cloaked(handle);
  return cloaked && *cloaked != 0;
}

std::expected<std::string, window::Error> Window::title() const {
  platform::Win32& win32 = platform::current().win32();
  const std::int32_t length = win32.get_window_text_length(handle_);
  std::u16string buffer(static_cast<std::size_t>(length > 0 ? length : 0) + 1, u'\0');
  // A title that cannot be copied reads as empty, like a window without one.
  if (length > 0 && win32.get_window_text(handle_, buffer) == 0) {
    return std::string();
  }
  auto title = decode_utf16(until_first_nul(buffer));
  if (!title) {
    return std::unexpected(window::Error{window::Error::Kind::FailedToConvertWindowsString, std::nullopt});
  }
  return std::move(*title);
}

}  // namespace quorvex::wgc_capture
