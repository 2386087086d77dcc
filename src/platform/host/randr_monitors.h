// The X11 desktop's displays from RandR 1.5 monitors: the translation from
// what xcb_randr_get_monitors (and the outputs' EDID properties) report to
// the displays the Win32 stand-in lists, kept free of XCB so it can be tested
// with any set of monitors (Xvfb only ever reports one).
//
// Thread contract: pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/host/desktop_source.h"

namespace quorvex::platform::host {

// One monitor of a get-monitors reply.
struct RandrMonitor {
  std::uint32_t name_atom = 0;  // unique per monitor while it exists
  bool primary = false;
  std::int16_t x = 0;
  std::int16_t y = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::vector<std::uint8_t> edid;  // of its first output that has one; empty: none
};

// Displays in the server's order as \\.\DISPLAY1, \\.\DISPLAY2, ...; the
// primary one is the first flagged primary, or the first monitor when none
// is. Handles and display-configuration ids are the monitor's name atom, so
// they stay the same while the monitor exists. Empty monitors are left out.
[[nodiscard]] std::vector<DisplayState> displays_from_randr(std::span<const RandrMonitor> monitors);

// The monitor-name display descriptor (tag 0xFC) of an EDID base block;
// empty when there is none or the block is not EDID.
[[nodiscard]] std::u16string edid_monitor_name(std::span<const std::uint8_t> edid);

}  // namespace quorvex::platform::host
