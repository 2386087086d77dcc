#include "app/pipeline/capture_handler.h"
#include "app/session/control_reader.h"
#include "app/pipeline/hardware_encoder.h"
#include "app/session/list_sources.h"
#include "app/session/probe.h"
#include "app/cli/run.h"
#include "app/session/session.h"

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
