// The parent-facing text formats of window and display sharing: the control
// commands read from standard input, window-title markers, the JSON source
// catalogue with its display labels, and the crop of a captured window frame
// to its content area. Pure functions; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sender/letterbox.h"

namespace quorvex::sender {

struct ControlCommand {
  enum class Kind {
    Keyframe,
    Crop,
    Pause,
    Resume,
    Stop,
    // The encoder's mean bit rate, in bits per second.
    Bitrate,
    // The rate at which frames go to the encoder, in frames per second.
    Fps,
  };

  Kind kind = Kind::Keyframe;
  // The window's content size in pixels; Crop only, 0 otherwise.
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Bitrate and Fps only, 0 otherwise: at least 1.
  std::uint32_t value = 0;

  [[nodiscard]] static ControlCommand keyframe() { return {Kind::Keyframe, 0, 0}; }
  [[nodiscard]] static ControlCommand crop(std::uint32_t width, std::uint32_t height) {
    return {Kind::Crop, width, height};
  }
  [[nodiscard]] static ControlCommand pause() { return {Kind::Pause, 0, 0}; }
  [[nodiscard]] static ControlCommand resume() { return {Kind::Resume, 0, 0}; }
  [[nodiscard]] static ControlCommand stop() { return {Kind::Stop, 0, 0}; }
  [[nodiscard]] static ControlCommand bitrate(std::uint32_t bits_per_second) {
    return {Kind::Bitrate, 0, 0, bits_per_second};
  }
  [[nodiscard]] static ControlCommand fps(std::uint32_t frames_per_second) {
    return {Kind::Fps, 0, 0, frames_per_second};
  }
  friend bool operator==(const ControlCommand&, const ControlCommand&) = default;
};

// Crop sizes outside this range are rejected.
inline constexpr std::uint32_t min_crop_dimension = 2;
inline constexpr std::uint32_t max_crop_dimension = 16384;

// One line, with or without its terminator: "KEYFRAME", "PAUSE", "RESUME",
// "STOP", "CROP {width} {height}", "BITRATE {bits per second}" or
// "FPS {frames per second}", case-sensitive, surrounded by any Unicode white
// space, tokens separated by single spaces only. Numbers are unsigned 32-bit
// decimals (an optional "+", digits); BITRATE and FPS take 1 and more (the
// session's own frame rate bounds FPS further, which the caller checks).
// Anything else, including ill-formed UTF-8, is nothing.
[[nodiscard]] std::optional<ControlCommand> parse_control_command(std::string_view line);
[[nodiscard]] std::optional<ControlCommand> parse_control_command(std::span<const std::byte> line);

// Why parse_control_command found no command in a line, for telling the
// parent its mistake.
struct RejectedControlLine {
  enum class Fault {
    // Nothing but white space: no attempt at a command.
    Blank,
    // Not a command, or a command word with something wrong around it.
    Malformed,
    // CROP with two numbers outside min_crop_dimension..max_crop_dimension,
    // BITRATE or FPS with a number that is 0 or beyond 32 bits.
    OutOfRange,
  };
  Fault fault = Fault::Malformed;
  // "KEYFRAME", "PAUSE", "RESUME", "STOP", "CROP", "BITRATE" or "FPS" when
  // the line's first token is that word; "unknown" otherwise.
  std::string_view command = "unknown";
  friend bool operator==(const RejectedControlLine&, const RejectedControlLine&) = default;
};

// For a line parse_control_command rejects.
[[nodiscard]] RejectedControlLine reject_control_line(std::string_view line);

// The line text of a command, without a line terminator.
[[nodiscard]] std::string format_control_command(const ControlCommand& command);

// A window-title marker: 16 to 64 ASCII letters, digits or '-'.
[[nodiscard]] bool is_valid_window_marker(std::string_view marker);

struct SourceDisplay {
  // The number in the display's device name, not its capture selector.
  std::uint64_t id = 0;
  std::string name;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

struct SourceWindow {
  // The window handle value, as "--window-id" takes it.
  std::uint64_t id = 0;
  std::string app;
  std::string title;
  std::optional<std::string> thumbnail;
};

// The compact JSON catalogue {"displays":[…],"windows":[…]}, members of every
// object in ascending key order, no trailing line break. Text that is not
// well-formed UTF-8 has each ill-formed sequence replaced by U+FFFD, so the
// document is always valid JSON.
[[nodiscard]] std::string sources_json(std::span<const SourceDisplay> displays,
                                       std::span<const SourceWindow> windows);

// The system's display name trimmed of white space, or "Écran {index + 1}"
// when there is none left.
[[nodiscard]] std::string display_label(std::optional<std::string_view> name, std::uint64_t index);

// The content area of a captured window frame: borders equal left, right and
// bottom, the rest of the extra height on top. Content larger than the frame
// is clamped to it.
[[nodiscard]] FrameRect content_crop(std::uint32_t frame_width, std::uint32_t frame_height,
                                     std::uint32_t content_width, std::uint32_t content_height);

}  // namespace quorvex::sender
