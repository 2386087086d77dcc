#include "app/cli/stop_requests.h"

#include <cstdlib>
#include <utility>

namespace quorvex::app {

StopRequests::StopRequests(StopRequestCell stop, std::function<void()> exit_now)
    : stop_(std::move(stop)), exit_now_(std::move(exit_now)) {}

void StopRequests::operator()(platform::StopRequest) {
  if (requests_->fetch_add(1) == 0) {
    stop_->store(true);
    return;
  }
  exit_now_();
}

Result<void> watch_stop_requests(StopRequestCell stop) {
  // _Exit: the drain is abandoned on purpose; other threads are still
  // running and must not see statics destroyed under them.
  StopRequests requests(std::move(stop), [] { std::_Exit(1); });
  if (auto watching = platform::watch_stop_requests(std::move(requests)); !watching) {
    return fail(std::move(watching.error()));
  }
  return {};
}

Result<void> stop_when_parent_exits(StopReasonCell reason, StopRequestCell stop) {
  auto watching = platform::watch_parent_exit([reason = std::move(reason), stop = std::move(stop)] {
    request_stop(reason, stop, SessionEnd::ParentExited);
  });
  if (!watching) {
    return fail(std::move(watching.error()));
  }
  return {};
}

}  // namespace quorvex::app
