// The texts of "--help" and "--version". The usage carries the README's
// command-line synopsis and option table, cell by cell; a test holds the
// two against each other.
//
// Thread contract: pure data and functions; main thread.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "app/error.h"

namespace quorvex::app {

// The ways to run the program, one line each: command, then what it does.
struct UsageMode {
  std::string_view command;
  std::string_view effect;
};

inline constexpr std::array<UsageMode, 6> usage_modes{{
    {"quorvex-wgc-encoder [options]", "capture session (default)"},
    {"quorvex-wgc-encoder --list-sources", "one JSON line listing displays and windows"},
    {"quorvex-wgc-encoder --preflight", "probe the device and the hardware encoder"},
    {"quorvex-wgc-encoder --request-permission", "the same probe"},
    {"quorvex-wgc-encoder --help", "this usage (also -h)"},
    {"quorvex-wgc-encoder --version", "the program's name, version and platform"},
}};

// One row of the option table: the option names, its value and its default
// (empty: none).
struct UsageOption {
  std::string_view names;
  std::string_view value;
  std::string_view default_value;
};

inline constexpr std::array<UsageOption, 20> usage_options{{
    {"--source", "screen or window", "screen"},
    {"--display-id", "1-based position in the display enumeration", "primary display"},
    {"--display-number", "the display whose listing id (the number in its device name) is this", ""},
    {"--window-title", "title marker: the first window whose title contains it", ""},
    {"--window-id", "window handle value (as listed by --list-sources)", ""},
    {"--content-width, --content-height", "client-area size; required (≥ 2) with --window-title", "0"},
    {"--width, --height", "output size (≥ 2, rounded down to even)", "1920 × 1080"},
    {"--fps", "frames per second", "30"},
    {"--bitrate", "bits per second", "8000000"},
    {"--duration", "seconds", "60"},
    {"--pacing", "strict or grid: how the frame mailbox spaces submissions to the encoder", "strict"},
    {"--rate-buffer-ms", "the encoder's rate buffer in milliseconds of the bit rate (≥ 1; one frame interval bounds every record)", "the encoder's own"},
    {"--keyframe-interval", "frames from one keyframe to the next; 0: only the first frame, KEYFRAME and RESUME", "one second of frames"},
    {"--quiet", "(no value) leave out the per-frame encode_latency_ms lines", ""},
    {"--until-stopped", "(no value) no duration limit: the session runs until STOP, a signal or its item's end", ""},
    {"--stop-on-stdin-close", "(no value) the end of standard input ends the session as STOP does", ""},
    {"--stay-after-parent", "(no value) keep running when the parent process has ended", ""},
    {"--force-tty", "(no value) write frame records even when standard output is a terminal", ""},
    {"--idle-refresh-ms", "milliseconds without a new frame after which the last one is encoded again (not as a keyframe), at most once per this time", "off"},
    {"--drop-filler", "(no value) leave filler NAL units (type 12) out of the frame records", ""},
}};

[[nodiscard]] std::string usage_text();
// "quorvex-wgc-encoder {version} ({platform}, {processor})".
[[nodiscard]] std::string version_text();

// Write their text to standard output.
[[nodiscard]] Result<void> write_usage();
[[nodiscard]] Result<void> write_version();

}  // namespace quorvex::app
