// What a request to stop the process (SIGINT, SIGTERM, or a console's
// Ctrl+C, Ctrl+Break or close) does to a capture session: the first one
// sets the session's stop cell, and the session ends the way a reached
// duration ends it (capture stopped, encoder drained, every record and the
// summary written, status 0). A later one ends the process at once with
// status 1, without waiting for the drain.
//
// Only a capture session watches for stop requests; listing the sources and
// the probe keep the requests' default effect.
//
// Thread contract: called on the platform's stop-request thread, one request
// at a time or concurrently (Windows runs each console event on a thread of
// its own).
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "app/control_cells.h"
#include "app/error.h"
#include "platform/process.h"

namespace quorvex::app {

class StopRequests {
 public:
  // `exit_now` ends the process with status 1; tests substitute it.
  explicit StopRequests(StopRequestCell stop, std::function<void()> exit_now);

  void operator()(platform::StopRequest request);

 private:
  StopRequestCell stop_;
  std::function<void()> exit_now_;
  std::shared_ptr<std::atomic<unsigned>> requests_ = std::make_shared<std::atomic<unsigned>>(0);
};

// Routes the process's stop requests to `stop` for the rest of its life.
[[nodiscard]] Result<void> watch_stop_requests(StopRequestCell stop);

// The end of the parent process asks the session to stop, with reason
// ParentExited: a helper must not outlive the sender that reads it.
[[nodiscard]] Result<void> stop_when_parent_exits(StopReasonCell reason, StopRequestCell stop);

}  // namespace quorvex::app
