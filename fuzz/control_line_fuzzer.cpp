// The control-line grammar on arbitrary lines. A line that parses is valid
// UTF-8, its command formats to a line that parses to the same command, and
// that canonical line survives white space and line terminators around it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.h"
#include "sender/text.h"
#include "sender/window_share.h"

namespace {

using quorvex::sender::ControlCommand;
using quorvex::sender::format_control_command;
using quorvex::sender::parse_control_command;
namespace text = quorvex::sender::text;

// White space the parent or a terminal may put around a line: ASCII, NEL,
// NBSP and the ideographic space, as UTF-8.
constexpr std::array<std::string_view, 6> padding = {" ", "\t", "\r\n", "\xC2\x85", "\xC2\xA0", "\xE3\x80\x80"};

// A number as a control line writes it (an optional '+', then ASCII digits,
// leading zeros allowed), read digit by digit here rather than by the parser
// under test. Values past 32 bits are reported as absent.
std::optional<std::uint32_t> control_number(std::string_view token) {
  if (token.starts_with('+')) {
    token.remove_prefix(1);
  }
  if (token.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : token) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) {
      return std::nullopt;
    }
  }
  return static_cast<std::uint32_t>(value);
}

bool crop_size_in_range(std::uint32_t value) {
  return value >= quorvex::sender::min_crop_dimension && value <= quorvex::sender::max_crop_dimension;
}

void check_parsed(std::string_view line, const ControlCommand& command) {
  QVX_FUZZ_CHECK(text::is_valid_utf8(line));
  const std::string_view trimmed = text::trim_white_space(line);
  const std::string canonical = format_control_command(command);
  if (command.kind == ControlCommand::Kind::Crop) {
    QVX_FUZZ_CHECK(crop_size_in_range(command.width) && crop_size_in_range(command.height));
    // "CROP", then exactly two numbers that mean the command's size.
    QVX_FUZZ_CHECK(trimmed.starts_with("CROP "));
    const std::string_view numbers = trimmed.substr(5);
    const std::size_t space = numbers.find(' ');
    QVX_FUZZ_CHECK(space != std::string_view::npos);
    const auto width = control_number(numbers.substr(0, space));
    const auto height = control_number(numbers.substr(space + 1));
    QVX_FUZZ_CHECK(width && *width == command.width);
    QVX_FUZZ_CHECK(height && *height == command.height);
  } else if (command.kind == ControlCommand::Kind::Bitrate || command.kind == ControlCommand::Kind::Fps) {
    QVX_FUZZ_CHECK(command.width == 0 && command.height == 0 && command.value >= 1);
    // The word, one space, then one number that means the command's value.
    const std::string_view word = command.kind == ControlCommand::Kind::Fps ? "FPS " : "BITRATE ";
    QVX_FUZZ_CHECK(trimmed.starts_with(word));
    const auto value = control_number(trimmed.substr(word.size()));
    QVX_FUZZ_CHECK(value && *value == command.value);
  } else {
    QVX_FUZZ_CHECK(command.width == 0 && command.height == 0 && command.value == 0);
    QVX_FUZZ_CHECK(trimmed == canonical);
  }
  const auto again = parse_control_command(canonical);
  QVX_FUZZ_CHECK(again && *again == command);
  for (const std::string_view before : padding) {
    for (const std::string_view after : padding) {
      const std::string padded = std::string(before) + canonical + std::string(after);
      const auto parsed = parse_control_command(padded);
      QVX_FUZZ_CHECK(parsed && *parsed == command);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line = quorvex::fuzz::as_text(data, size);
  const std::optional<ControlCommand> command = parse_control_command(line);
  // The byte overload is the same grammar.
  QVX_FUZZ_CHECK(parse_control_command(quorvex::fuzz::as_bytes(data, size)) == command);
  if (command) {
    check_parsed(line, *command);
  } else {
    QVX_FUZZ_CHECK(!parse_control_command(text::trim_white_space(line)));
  }
  // A line terminator never changes the outcome; a character glued to the
  // command word always does.
  QVX_FUZZ_CHECK(parse_control_command(std::string(line) + "\n") == command);
  QVX_FUZZ_CHECK(!parse_control_command("X" + std::string(text::trim_white_space(line))));
  return 0;
}
