// Operating-system handles as small strong value types over the raw value, so
// a window id from the command line round-trips exactly.
#pragma once

#include <cstdint>

namespace quorvex::platform {

struct MonitorHandle {
  std::uint64_t value = 0;
  [[nodiscard]] bool is_null() const { return value == 0; }
  friend bool operator==(MonitorHandle, MonitorHandle) = default;
};

struct WindowHandle {
  std::uint64_t value = 0;
  [[nodiscard]] bool is_null() const { return value == 0; }
  friend bool operator==(WindowHandle, WindowHandle) = default;
};

// LUID: an adapter's (or a display path's) locally unique id.
struct LocallyUniqueId {
  std::uint32_t low_part = 0;
  std::int32_t high_part = 0;
  friend bool operator==(LocallyUniqueId, LocallyUniqueId) = default;
};

struct Point {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

struct Rect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace quorvex::platform
