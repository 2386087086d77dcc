// The process's DPI awareness, declared before any window or display is
// looked at. Unaware, the process sees window rectangles and display sizes
// scaled to 96 DPI (logical pixels) while the capture service delivers
// physical pixels, so listed sizes, the listing's minimum-size filter and the
// frames would disagree on a scaled display.
//
// Thread contract: main thread, before the first Win32 call about windows.
#pragma once

#include "platform/win32.h"

namespace quorvex::app {

// Asks for per-monitor awareness (version 2). Where the system lacks the
// call (before Windows 10 1703, which the capture service predates anyway)
// or the awareness is already set (a manifest), the process goes on quietly
// as it is.
void declare_dpi_awareness(platform::Win32& win32);

}  // namespace quorvex::app
