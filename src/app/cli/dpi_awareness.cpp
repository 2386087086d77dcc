#include "app/cli/dpi_awareness.h"

namespace quorvex::app {

void declare_dpi_awareness(platform::Win32& win32) {
  static_cast<void>(
      win32.set_process_dpi_awareness_context(platform::win32::dpi_awareness_context_per_monitor_aware_v2));
}

}  // namespace quorvex::app
