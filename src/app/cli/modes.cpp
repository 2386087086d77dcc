#include "app/cli/dpi_awareness.h"
#include "app/cli/stop_requests.h"
#include "app/diagnostics.h"
#include "app/pipeline/capture_handler.h"
#include "app/session/control_reader.h"
#include "app/pipeline/hardware_encoder.h"
#include "app/session/list_sources.h"
#include "app/session/probe.h"
#include "app/cli/run.h"
#include "app/session/session.h"
#include "app/stderr_line.h"
#include "platform/process.h"
#include "platform/platform.h"

namespace quorvex::app {
namespace {

// Every mode opens the platform first: a desktop that cannot be had is the
// mode's error, reported before anything else.
Result<void> open_platform() {
  if (auto opened = platform::open_native(); !opened) {
    return fail(std::move(opened.error()));
  }
  return {};
}

}  // namespace

Modes built_in_modes() {
  return Modes{
      // Every mode that looks at the desktop sees it in physical pixels.
      .list_sources = []() -> Result<void> {
        if (auto opened = open_platform(); !opened) return opened;
        declare_dpi_awareness(platform::current().win32());
        return list_sources();
      },
      .probe = []() -> Result<void> {
        if (auto opened = open_platform(); !opened) return opened;
        declare_dpi_awareness(platform::current().win32());
        return run_probe<HardwareEncoder>();
      },
      .capture_session = [](Config config) -> Result<void> {
        if (auto opened = open_platform(); !opened) return opened;
        declare_dpi_awareness(platform::current().win32());
        if (!config.force_tty && platform::standard_output_is_terminal()) {
          // Refused before anything starts, as compressors refuse to write
          // to a terminal: binary records would only garble the screen.
          return fail("standard output is a terminal: redirect the frame records to a file or a pipe (or pass --force-tty)");
        }
        const SessionEndCell end = config.session_end;
        Result<void> ran;
        {
          // Standard error goes through a queue while the session runs, so
          // a parent that does not read it cannot stop the records. The
          // queue is drained (the count of dropped lines included) before
          // the end line and main's error line, which stay last.
          const StderrQueueSession queue([] { platform::set_current_thread_name("diagnostics-writer"); });
          ran = [&]() -> Result<void> {
            // A stop requested while the session starts up takes effect with
            // its first frame or timer tick.
            if (auto watching = watch_stop_requests(config.stop_request); !watching) {
              return watching;
            }
            if (!config.stay_after_parent) {
              if (auto watching = stop_when_parent_exits(config.stop_reason, config.stop_request); !watching) {
                return watching;
              }
            }
            // Commands may arrive, and take effect on the cells, before the
            // capture item is even resolved.
            if (auto started = start_control_reader({.keyframe_request = config.keyframe_request,
                                                     .content_size = config.content_size,
                                                     .paused = config.paused,
                                                     .stop_request = config.stop_request,
                                                     .stop_reason = config.stop_reason,
                                                     .stop_at_end_of_input = config.stop_on_stdin_close,
                                                     .bell = config.control_bell,
                                                     .crop_applies = config.window_title.has_value(),
                                                     .rate_request = config.rate_request,
                                                     .max_fps = config.fps});
                !started) {
              return started;
            }
            return run_capture_session<Capture>(std::move(config));
          }();
        }
        // The error line, which main writes, stays the last line.
        standard_error().write(diagnostics::session_end(ran ? end->load() : SessionEnd::Error));
        return ran;
      },
  };
}

}  // namespace quorvex::app
