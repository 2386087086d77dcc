// The texts of "--help" and "--version". The usage carries the README's
// command-line synopsis and option table (the rows of options.h), cell by
// cell; a test holds the two against each other.
//
// Thread contract: pure data and functions; main thread.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/options.h"
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

// One row of the option table as printed: the option names, its value and
// its default (empty: none).
struct UsageOption {
  std::string names;
  std::string value;
  std::string default_value;

  friend bool operator==(const UsageOption&, const UsageOption&) = default;
};

// The rows of options.h, their defaults taken from `defaults`.
[[nodiscard]] std::vector<UsageOption> usage_options(const CommandLine& defaults = CommandLine{});

[[nodiscard]] std::string usage_text();
// "quorvex-wgc-encoder {version} ({platform}, {processor})".
[[nodiscard]] std::string version_text();

// Write their text to standard output.
[[nodiscard]] Result<void> write_usage();
[[nodiscard]] Result<void> write_version();

}  // namespace quorvex::app
