// The control reader: the thread that reads one-line commands from standard
// input and applies them to the control cells.
//
// Thread contract: start_control_reader is called once, from the main thread;
// the thread it starts is detached and never joined. run_control_reader runs
// on whichever thread calls it and touches the cells only atomically.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/control_cells.h"
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

using DiagnosticWriter = std::function<void(std::string_view line_without_newline)>;

// Applies every command line from the source until end of input or a read
// error: KEYFRAME requests a key frame, PAUSE and RESUME set and clear the
// pause flag (RESUME also requests a key frame), CROP stores the content
// size. Other lines are ignored without output. The bell, when given, rings
// after every key-frame request (KEYFRAME, RESUME).
void run_control_reader(ByteSource& source, const KeyframeRequestCell& keyframe_request,
                        const ContentSizeCell& content_size, const PausedCell& paused,
                        const DiagnosticWriter& write_diagnostic, const ControlBellCell& bell = nullptr);

// Starts the detached reader on standard input; it writes its diagnostics to
// standard error. Fails only when the thread cannot be created.
[[nodiscard]] Result<void> start_control_reader(KeyframeRequestCell keyframe_request, ContentSizeCell content_size,
                                                PausedCell paused, ControlBellCell bell = nullptr);

}  // namespace quorvex::app
