// Test-only grammar for control lines, standing in for the sender library's
// parse_control_command until the application links the real one. It covers
// what these tests feed it: ASCII trimming, the four commands, crop sizes in
// 2..16384. Delete this file when sender/window_share.h provides the parser.
#include <charconv>
#include <string_view>

#include "app/control_command_shim.h"

namespace quorvex::sender {
namespace {

std::optional<std::uint32_t> crop_value(std::string_view token) {
  if (token.starts_with('+')) {
    token.remove_prefix(1);
  }
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (token.empty() || ec != std::errc{} || end != token.data() + token.size() || value < 2 || value > 16384) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<ControlCommand> parse_control_command(std::string_view line) {
  constexpr std::string_view kSpace = " \t\n\v\f\r";
  const auto first = line.find_first_not_of(kSpace);
  if (first == std::string_view::npos) {
    return std::nullopt;
  }
  line = line.substr(first, line.find_last_not_of(kSpace) - first + 1);
  if (line == "KEYFRAME") {
    return ControlCommand{ControlCommand::Kind::Keyframe};
  }
  if (line == "PAUSE") {
    return ControlCommand{ControlCommand::Kind::Pause};
  }
  if (line == "RESUME") {
    return ControlCommand{ControlCommand::Kind::Resume};
  }
  if (!line.starts_with("CROP ")) {
    return std::nullopt;
  }
  line.remove_prefix(5);
  const auto space = line.find(' ');
  if (space == std::string_view::npos) {
    return std::nullopt;
  }
  const auto width = crop_value(line.substr(0, space));
  const auto height = crop_value(line.substr(space + 1));
  if (!width || !height) {
    return std::nullopt;
  }
  return ControlCommand{ControlCommand::Kind::Crop, *width, *height};
}

}  // namespace quorvex::sender
