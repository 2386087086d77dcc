// Stand-in declaration of the control-command grammar until the sender
// library's window_share module provides it; replace this include with
// "sender/window_share.h" then. Only the declaration lives here: the program
// links the library's definition.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvex::sender {

struct ControlCommand {
  enum class Kind { Keyframe, Crop, Pause, Resume };
  Kind kind = Kind::Keyframe;
  std::uint32_t width = 0;   // Crop only
  std::uint32_t height = 0;  // Crop only
};

// One line's bytes, with or without its terminator; nothing when the line is
// not a command.
[[nodiscard]] std::optional<ControlCommand> parse_control_command(std::string_view line);

}  // namespace quorvex::sender
