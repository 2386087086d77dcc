// The control reader: the thread that reads one-line commands from standard
// input and applies them to the control cells.
//
// Thread contract: start_control_reader is called once, from the main thread;
// the thread it starts is detached and never joined. run_control_reader runs
// on whichever thread calls it and touches the cells only atomically.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/control_cells.h"
#include "app/diagnostics.h"
#include "app/error.h"

namespace quorvex::app {

// A blocking source of bytes, such as standard input.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Waits for at least one byte and returns how many were stored; 0 at end of
  // input; nothing on a read error.
  [[nodiscard]] virtual std::optional<std::size_t> read_some(std::span<char> buffer) = 0;
};

// Splits a byte source into lines ending at a line feed or at end of input.
// One buffer serves every line. A command is a few dozen bytes, so a line
// longer than kMaxLineBytes cannot be one: it is skipped up to its line feed
// instead of growing the buffer without limit.
class ControlLineReader {
 public:
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;

  explicit ControlLineReader(ByteSource& source);

  // The next line including its line feed; nothing at end of input or after
  // a read error. The view is valid until the next call.
  [[nodiscard]] std::optional<std::string_view> next_line();

  // Memory held for the current line, for checking the bound.
  [[nodiscard]] std::size_t line_capacity() const { return line_.capacity(); }

 private:
  [[nodiscard]] bool refill();

  ByteSource& source_;
  std::array<char, 4096> chunk_{};
  std::size_t chunk_begin_ = 0;
  std::size_t chunk_end_ = 0;
  bool input_over_ = false;
  std::string line_;
};

// The cells the commands act on.
struct ControlTargets {
  KeyframeRequestCell keyframe_request;
  ContentSizeCell content_size;
  PausedCell paused;
  // STOP asks the session to stop, with reason Stop; so does the end of
  // input (reason InputClosed) when stop_at_end_of_input is set. A read
  // error is an end of input too.
  StopRequestCell stop_request = std::make_shared<std::atomic<bool>>(false);
  StopReasonCell stop_reason = std::make_shared<std::atomic<SessionEnd>>(SessionEnd::Signal);
  bool stop_at_end_of_input = false;
  // Rung, when given, after every key-frame request (KEYFRAME, RESUME) and
  // every rate request (BITRATE, FPS).
  ControlBellCell bell = nullptr;
  // CROP has an effect (a window captured by title marker); otherwise it is
  // stored and reported as before, and also reported as not applicable.
  bool crop_applies = true;
  // BITRATE and FPS leave their values here for the encoder. FPS may slow
  // the session down, never speed it up: above max_fps it is ignored.
  RateRequestCell rate_request = std::make_shared<RateRequests>();
  std::uint32_t max_fps = std::numeric_limits<std::uint32_t>::max();
};

// Applies every command line from the source until end of input or a read
// error: KEYFRAME requests a key frame, PAUSE and RESUME set and clear the
// pause flag (RESUME also requests a key frame), CROP stores the content
// size, BITRATE and FPS leave a rate request, STOP requests the session's end. Other lines are ignored; each that
// is not blank is reported as a "control_ignored" line.
void run_control_reader(ByteSource& source, const ControlTargets& targets, diagnostics::Sink& lines);

// Starts the detached reader on standard input; it writes its diagnostics to
// standard error. Fails only when the thread cannot be created.
[[nodiscard]] Result<void> start_control_reader(ControlTargets targets);

}  // namespace quorvex::app
