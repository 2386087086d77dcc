// The configuration of one capture session, and the command-line parser that
// builds it.
//
// Thread contract: parse_arguments runs on the main thread. A Config is a
// value owned by one thread at a time (it moves into the capture layer); only
// its three control cells are shared, under the rules of control_cells.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "app/control_cells.h"
#include "app/error.h"
#include "app/session_source.h"
#include "sender/pacing_rule.h"

namespace quorvex::app {

struct Config {
  std::uint32_t width = 1920;
  std::uint32_t height = 1080;
  std::uint32_t fps = 30;
  std::uint32_t bitrate = 8'000'000;  // bits per second
  // Saturates at nanoseconds::max() for huge values: compare elapsed time
  // against it rather than adding it to a time point.
  std::chrono::nanoseconds duration = std::chrono::seconds{60};
  // 1-based position in the system's display enumeration; absent means the
  // primary display.
  std::optional<std::uint64_t> display_id;
  // "--display-number": the display whose listing "id" (the number in its
  // device name) is this.
  std::optional<std::uint64_t> display_number;
  // Title marker: capture the first window whose title contains this text.
  std::optional<std::string> window_title;
  // Raw window handle value.
  std::optional<std::uint64_t> window_id;
  // "--pacing": how the frame mailbox spaces submissions to the encoder.
  sender::PacingRule pacing = sender::PacingRule::Strict;
  // "--quiet": no per-frame "encode_latency_ms" line.
  bool quiet = false;
  // "--until-stopped": no duration limit (duration is then the maximum).
  bool until_stopped = false;
  // "--stop-on-stdin-close": the end of standard input ends the session.
  bool stop_on_stdin_close = false;
  // "--stay-after-parent": the parent's end leaves the session running.
  bool stay_after_parent = false;
  // "--force-tty": write frame records even to a terminal.
  bool force_tty = false;
  // Not an option: the item the session resolved, filled in before the
  // capture starts, for the session_start line.
  SessionSource source;
  // "--rate-buffer-ms": the encoder's rate-control buffer as this many
  // milliseconds of the bit rate; absent leaves the encoder's own.
  std::optional<std::uint32_t> rate_buffer_ms;
  // "--keyframe-interval": frames from one keyframe to the next, 0 for
  // keyframes only when asked; absent means one second of frames.
  std::optional<std::uint32_t> keyframe_interval;
  // "--idle-refresh-ms": the last frame goes into the encoder again after
  // this long without one; none by default.
  std::optional<std::chrono::milliseconds> idle_refresh;
  // "--drop-filler": filler NAL units are left out of the frame records.
  bool drop_filler = false;

  KeyframeRequestCell keyframe_request = std::make_shared<std::atomic<bool>>(false);
  ContentSizeCell content_size = std::make_shared<std::atomic<std::uint64_t>>(0);
  PausedCell paused = std::make_shared<std::atomic<bool>>(false);
  ControlBellCell control_bell = std::make_shared<ControlBell>();
  StopRequestCell stop_request = std::make_shared<std::atomic<bool>>(false);
  StopReasonCell stop_reason = std::make_shared<std::atomic<SessionEnd>>(SessionEnd::Signal);
  SessionEndCell session_end = std::make_shared<std::atomic<SessionEnd>>(SessionEnd::Duration);
  RateRequestCell rate_request = std::make_shared<RateRequests>();
};

// Writes the source catalogue to standard output; run by the parser the
// moment it meets "--list-sources".
using ListSources = std::function<Result<void>()>;

// Writes the usage or the version to standard output; run by the parser the
// moment it meets "--help" or "--version".
using PrintText = std::function<Result<void>()>;

// The options acted on the moment the parser reaches them. Each ends the
// parse: later arguments are never examined.
struct ImmediateOptions {
  ListSources list_sources;
  PrintText help;
  PrintText version;
};

// The sources were listed; the process ends with status 0 and no session.
struct Listed {
  friend bool operator==(const Listed&, const Listed&) = default;
};

// The usage or the version was printed; status 0 and no session.
struct Printed {
  friend bool operator==(const Printed&, const Printed&) = default;
};

using ParseOutcome = std::variant<Config, Listed, Printed>;

// Reads the options after the program name. Values are consumed whatever
// they look like and numbers are converted as soon as they are met, so the
// first bad argument decides the error. Validation runs only after the last
// argument and never when an immediate option was met.
[[nodiscard]] Result<ParseOutcome> parse_arguments(std::span<const std::string> args_after_program_name,
                                                   ImmediateOptions& immediate);
// The same, with the program's own "--help" and "--version".
[[nodiscard]] Result<ParseOutcome> parse_arguments(std::span<const std::string> args_after_program_name,
                                                   ListSources& list_sources);

}  // namespace quorvex::app
