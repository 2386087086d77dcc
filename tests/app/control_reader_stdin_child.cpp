// Child program for the process tests: runs the real control reader on this
// process's standard input, waits until it has paused, and prints the cells.
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/session/control_reader.h"
#include "platform/process.h"

int main() {
  using namespace quorvex::app;
  if (!quorvex::platform::prepare_standard_streams()) {
    return 2;
  }
  auto keyframe_request = std::make_shared<std::atomic<bool>>(false);
  auto content_size = std::make_shared<std::atomic<std::uint64_t>>(0);
  auto paused = std::make_shared<std::atomic<bool>>(false);
  if (!start_control_reader({.keyframe_request = keyframe_request, .content_size = content_size, .paused = paused})) {
    return 3;
  }
  // Only a give-up bound: the parent keeps its end of stdin open, so a reader
  // that waits for more input than a line never pauses.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!paused->load() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf("keyframe_request=%d content_size=%llu paused=%d\n", keyframe_request->load() ? 1 : 0,
              static_cast<unsigned long long>(content_size->load()), paused->load() ? 1 : 0);
  return 0;
}
