// The options after a qvrx command's file arguments. Pure functions; any
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "testing/frame_clock.h"

namespace quorvex::tools {

// Where to read the frame-clock strip in the decoded pictures; a size of 0
// means the one the stream's first sequence parameter set announces.
struct ClockOptions {
  int width = 0;
  int height = 0;
  testing::StripPlacement placement;
};

struct CommandOptions {
  bool json = false;
  std::optional<ClockOptions> clock;
  // "--link-rate BPS": the link delay through a link of this rate.
  std::optional<std::uint64_t> link_rate_bps;
  // "--target-bitrate BPS": drawn on the bit rate.
  std::optional<std::uint64_t> target_bitrate_bps;
  // "--log FILE": the capture's standard error.
  std::optional<std::string> log_path;
};

// Which options a command takes.
struct OptionRules {
  bool json = false;
  // --size and --strip need --clock, unless the command always reads the
  // clock (then --clock is allowed but changes nothing).
  bool clock_always = false;
  bool link_rate = false;
  // --target-bitrate and --log.
  bool plot = false;
};

// nullopt for a usage error: an option the command does not take, a value
// missing or malformed (a size outside 1..16384, a scale that is not above
// 0, a rate that is not a decimal number above 0), or --size or --strip
// without --clock.
[[nodiscard]] std::optional<CommandOptions> parse_command_options(std::span<const std::string> options,
                                                                  OptionRules rules);

}  // namespace quorvex::tools
