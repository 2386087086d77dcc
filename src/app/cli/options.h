// The session options of the command line: one row per option, or per pair
// of options, in the order and with the texts of the README's option table.
// The parser finds options here and stores their values through the rows'
// fields, "--help" prints the rows, and the command-line fuzzer takes its
// option names from them.
//
// To add an option: give it a field (in Config, or in CommandLine when only
// the final checks read it), add its row below where the README's table is
// to show it, and add the same row to the README (a test holds the two
// together). "--list-sources", "--help" (-h) and "--version" are no rows:
// the parser acts on them the moment it meets them, and the usage lists them
// among the ways to run the program.
//
// Thread contract: constant data and pure functions.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "app/config.h"
#include "sender/pacing_rule.h"

namespace quorvex::app {

// What the command line fills in: the session's Config, and the values that
// the checks after the last argument turn into Config fields.
struct CommandLine {
  Config config;
  // "--source": "screen" or "window".
  std::string source = "screen";
  // "--content-width", "--content-height": the client-area size of a window
  // found by its title, packed into config.content_size.
  std::uint32_t content_width = 0;
  std::uint32_t content_height = 0;
};

// Where an option keeps its value. The field's type says how the value is
// read:
//   bool                                 the option takes no value and sets it
//   std::uint32_t, std::optional<std::uint32_t>, std::optional<std::uint64_t>
//                                        an unsigned decimal number
//   std::chrono::nanoseconds             whole seconds, saturating
//   std::optional<std::chrono::milliseconds>
//                                        whole milliseconds, up to 2^32 - 1
//   std::string, std::optional<std::string>
//                                        the text as it is
//   sender::PacingRule                   one of the words of pacing_words
using OptionField =
    std::variant<bool Config::*, std::uint32_t Config::*, std::optional<std::uint32_t> Config::*,
                 std::optional<std::uint64_t> Config::*, std::chrono::nanoseconds Config::*,
                 std::optional<std::chrono::milliseconds> Config::*, std::optional<std::string> Config::*,
                 sender::PacingRule Config::*, std::string CommandLine::*, std::uint32_t CommandLine::*>;

struct Option {
  std::string_view name;
  OptionField field;
};

[[nodiscard]] constexpr bool takes_value(const Option& option) {
  return !std::holds_alternative<bool Config::*>(option.field);
}

// One row of the usage and of the README's table.
struct OptionRow {
  // The second is unnamed when the row has one option.
  std::array<Option, 2> options;
  // The Value column; a flag's is printed after "(no value) ".
  std::string_view value;
  // The Default column, empty for none. "{0}" and "{1}" stand for the value
  // of the first and the second option's field in a fresh CommandLine; other
  // text is printed as it is, for a default that is no value of a field
  // ("primary display").
  std::string_view default_cell;
};

[[nodiscard]] constexpr OptionRow row(Option option, std::string_view value, std::string_view default_cell = {}) {
  return {{{option, Option{}}}, value, default_cell};
}

[[nodiscard]] constexpr OptionRow pair(Option first, Option second, std::string_view value,
                                       std::string_view default_cell) {
  return {{{first, second}}, value, default_cell};
}

inline constexpr std::array option_rows{
    row({"--source", &CommandLine::source}, "screen or window", "{0}"),
    row({"--display-id", &Config::display_id}, "1-based position in the display enumeration", "primary display"),
    row({"--display-number", &Config::display_number},
        "the display whose listing id (the number in its device name) is this"),
    row({"--window-title", &Config::window_title}, "title marker: the first window whose title contains it"),
    row({"--window-id", &Config::window_id}, "window handle value (as listed by --list-sources)"),
    // Both sides start at 0, shown once.
    pair({"--content-width", &CommandLine::content_width}, {"--content-height", &CommandLine::content_height},
         "client-area size; required (≥ 2) with --window-title", "{0}"),
    pair({"--width", &Config::width}, {"--height", &Config::height}, "output size (≥ 2, rounded down to even)",
         "{0} × {1}"),
    row({"--fps", &Config::fps}, "frames per second", "{0}"),
    row({"--bitrate", &Config::bitrate}, "bits per second", "{0}"),
    row({"--duration", &Config::duration}, "seconds", "{0}"),
    row({"--pacing", &Config::pacing}, "strict or grid: how the frame mailbox spaces submissions to the encoder",
        "{0}"),
    row({"--rate-buffer-ms", &Config::rate_buffer_ms},
        "the encoder's rate buffer in milliseconds of the bit rate (≥ 1; one frame interval bounds every record)",
        "the encoder's own"),
    row({"--keyframe-interval", &Config::keyframe_interval},
        "frames from one keyframe to the next; 0: only the first frame, KEYFRAME and RESUME", "one second of frames"),
    row({"--quiet", &Config::quiet}, "leave out the per-frame encode_latency_ms lines"),
    row({"--until-stopped", &Config::until_stopped},
        "no duration limit: the session runs until STOP, a signal or its item's end"),
    row({"--stop-on-stdin-close", &Config::stop_on_stdin_close},
        "the end of standard input ends the session as STOP does"),
    row({"--stay-after-parent", &Config::stay_after_parent}, "keep running when the parent process has ended"),
    row({"--force-tty", &Config::force_tty}, "write frame records even when standard output is a terminal"),
    row({"--idle-refresh-ms", &Config::idle_refresh},
        "milliseconds without a new frame after which the last one is encoded again (not as a keyframe), at most "
        "once per this time",
        "off"),
    row({"--drop-filler", &Config::drop_filler}, "leave filler NAL units (type 12) out of the frame records"),
};

// The words of "--pacing".
struct PacingWord {
  std::string_view word;
  sender::PacingRule rule;
};

inline constexpr std::array<PacingWord, 2> pacing_words{{
    {"strict", sender::PacingRule::Strict},
    {"grid", sender::PacingRule::Grid},
}};

// The option of this name, or null.
[[nodiscard]] constexpr const Option* find_option(std::string_view name) {
  for (const OptionRow& r : option_rows) {
    for (const Option& option : r.options) {
      if (!option.name.empty() && option.name == name) {
        return &option;
      }
    }
  }
  return nullptr;
}

namespace option_rows_checks {

// A default can show a field that always holds a value.
constexpr bool shows_a_value(const Option& option) {
  return !option.name.empty() && takes_value(option) &&
         !std::holds_alternative<std::optional<std::uint32_t> Config::*>(option.field) &&
         !std::holds_alternative<std::optional<std::uint64_t> Config::*>(option.field) &&
         !std::holds_alternative<std::optional<std::chrono::milliseconds> Config::*>(option.field) &&
         !std::holds_alternative<std::optional<std::string> Config::*>(option.field);
}

consteval bool sound() {
  for (const OptionRow& r : option_rows) {
    const bool is_pair = !r.options[1].name.empty();
    if (r.options[0].name.empty() || (is_pair && !(takes_value(r.options[0]) && takes_value(r.options[1])))) {
      return false;
    }
    for (const Option& option : r.options) {
      // Unique names of the form the parser's errors assume.
      if (!option.name.empty() && (!option.name.starts_with("--") || find_option(option.name) != &option)) {
        return false;
      }
    }
    const auto shows = [&r](std::string_view placeholder) {
      return r.default_cell.find(placeholder) != std::string_view::npos;
    };
    if ((shows("{0}") && !shows_a_value(r.options[0])) || (shows("{1}") && !shows_a_value(r.options[1]))) {
      return false;
    }
  }
  return true;
}

}  // namespace option_rows_checks

static_assert(option_rows_checks::sound(),
              "every option row has a first option, unique names starting with --, a flag only alone, and "
              "defaults that show fields holding a value");

}  // namespace quorvex::app
