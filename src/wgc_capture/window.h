// A top-level window as a capture target: a copy of the system's window
// handle, the list of capturable windows, the capturability test and the
// title.
//
// Thread contract: a plain value; the lookups may run on any thread.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/handles.h"
#include "wgc_capture/utf16.h"

namespace quorvex::wgc_capture {

namespace window {

struct Error {
  enum class Kind {
    FailedToConvertWindowsString,
    WindowsError,
  };
  Kind kind = Kind::WindowsError;
  // The wrapped error of WindowsError.
  std::optional<platform::Error> platform_error;

  [[nodiscard]] std::string message() const;
};

}  // namespace window

class Window {
 public:
  explicit Window(platform::WindowHandle handle) : handle_(handle) {}

  // The capturable top-level windows, in the system's enumeration order:
  // valid and not cloaked.
  [[nodiscard]] static std::expected<std::vector<Window>, window::Error> enumerate();

  // Visible, owned by another process, client area readable, neither a child
  // nor a tool window. Never fails: anything unreadable is simply not valid.
  [[nodiscard]] static bool is_valid(platform::WindowHandle handle);

  // Cloaked by the compositor: counted visible, yet shown nowhere (a
  // suspended app's frame, a window on another virtual desktop), so it would
  // capture as nothing. False where the compositor cannot say.
  [[nodiscard]] static bool is_cloaked(platform::WindowHandle handle);

  // The title as UTF-8; empty when the window has none or it cannot be
  // copied.
  [[nodiscard]] std::expected<std::string, window::Error> title() const;

  [[nodiscard]] platform::WindowHandle handle() const { return handle_; }

 private:
  platform::WindowHandle handle_;
};

}  // namespace quorvex::wgc_capture
