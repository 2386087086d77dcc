#include "app/run.h"

namespace quorvex::app {

// Each mode reports plainly that it is missing rather than pretending to
// succeed, so a parent never mistakes this build for a working one.
Modes built_in_modes() {
  return Modes{
      .list_sources = []() -> Result<void> { return fail("source listing is not available in this build"); },
      .probe = []() -> Result<void> { return fail("preflight probe is not available in this build"); },
      .capture_session = [](Config) -> Result<void> {
        return fail("capture session is not available in this build");
      },
  };
}

}  // namespace quorvex::app
