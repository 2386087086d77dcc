#include "app/capture_handler.h"
#include "app/control_reader.h"
#include "app/hardware_encoder.h"
#include "app/list_sources.h"
#include "app/probe.h"
#include "app/run.h"
#include "app/session.h"

namespace quorvex::app {

Modes built_in_modes() {
  return Modes{
      .list_sources = []() -> Result<void> { return list_sources(); },
      .probe = []() -> Result<void> { return run_probe<HardwareEncoder>(); },
      .capture_session = [](Config config) -> Result<void> {
        // Commands may arrive, and take effect on the cells, before the
        // capture item is even resolved.
        if (auto started = start_control_reader(config.keyframe_request, config.content_size, config.paused);
            !started) {
          return started;
        }
        return run_capture_session<Capture>(std::move(config));
      },
  };
}

}  // namespace quorvex::app
