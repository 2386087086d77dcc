#include "sender/window_share.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "sender/decimal.h"
#include "sender/text.h"

namespace quorvex::sender {
namespace {

void append_decimal(std::string& out, std::uint64_t value) {
  std::array<char, 20> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), result.ptr);
}

[[nodiscard]] std::optional<std::uint32_t> parse_crop_dimension(std::string_view token) {
  const auto value = parse_unsigned<std::uint32_t>(token);
  if (!value || *value < min_crop_dimension || *value > max_crop_dimension) {
    return std::nullopt;
  }
  return *value;
}

// BITRATE and FPS: 0 asks for nothing a session can do.
[[nodiscard]] std::optional<std::uint32_t> parse_rate(std::string_view token) {
  const auto value = parse_unsigned<std::uint32_t>(token);
  if (!value || *value == 0) {
    return std::nullopt;
  }
  return *value;
}

// Writes JSON compactly. Callers write object members in ascending byte order
// of their keys, which is the order the parent's catalogue expects.
class JsonWriter {
 public:
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  void key(std::string_view name) {
    separate();
    string_literal(name);
    out_ += ':';
    after_key_ = true;
  }
  void value(std::string_view text) {
    separate();
    string_literal(text);
  }
  void value(std::uint64_t number) {
    separate();
    append_decimal(out_, number);
  }
  void null() {
    separate();
    out_ += "null";
  }

  [[nodiscard]] std::string take() { return std::move(out_); }

 private:
  void open(char bracket) {
    separate();
    out_ += bracket;
    first_in_container_ = true;
  }
  void close(char bracket) {
    out_ += bracket;
    first_in_container_ = false;
  }
  // A comma before every element or member but the first; none after a key.
  void separate() {
    if (after_key_) {
      after_key_ = false;
    } else if (!first_in_container_ && !out_.empty()) {
      out_ += ',';
    }
    first_in_container_ = false;
  }

  void string_literal(std::string_view text) { out_ += text::json_string(text); }

  std::string out_;
  bool first_in_container_ = true;
  bool after_key_ = false;
};

}  // namespace

std::optional<ControlCommand> parse_control_command(std::string_view line) {
  if (!text::is_valid_utf8(line)) {
    return std::nullopt;
  }
  const std::string_view trimmed = text::trim_white_space(line);
  // At most four tokens matter: more than that is already a reject.
  std::array<std::string_view, 4> tokens;
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t space = trimmed.find(' ', start);
    if (count == tokens.size()) {
      return std::nullopt;
    }
    tokens[count++] = trimmed.substr(start, space == std::string_view::npos ? space : space - start);
    if (space == std::string_view::npos) {
      break;
    }
    start = space + 1;
  }
  const std::string_view word = tokens[0];
  if (count == 1) {
    if (word == "KEYFRAME") return ControlCommand::keyframe();
    if (word == "PAUSE") return ControlCommand::pause();
    if (word == "RESUME") return ControlCommand::resume();
    if (word == "STOP") return ControlCommand::stop();
    return std::nullopt;
  }
  if (count == 3 && word == "CROP") {
    const auto width = parse_crop_dimension(tokens[1]);
    const auto height = parse_crop_dimension(tokens[2]);
    if (width && height) {
      return ControlCommand::crop(*width, *height);
    }
  }
  if (count == 2 && (word == "BITRATE" || word == "FPS")) {
    if (const auto rate = parse_rate(tokens[1])) {
      return word == "FPS" ? ControlCommand::fps(*rate) : ControlCommand::bitrate(*rate);
    }
  }
  return std::nullopt;
}

RejectedControlLine reject_control_line(std::string_view line) {
  using Fault = RejectedControlLine::Fault;
  if (!text::is_valid_utf8(line)) {
    return {Fault::Malformed, "unknown"};
  }
  const std::string_view trimmed = text::trim_white_space(line);
  if (trimmed.empty()) {
    return {Fault::Blank, "unknown"};
  }
  const std::string_view word = trimmed.substr(0, trimmed.find(' '));
  RejectedControlLine rejected{Fault::Malformed, "unknown"};
  for (const std::string_view known : {"KEYFRAME", "PAUSE", "RESUME", "STOP", "CROP", "BITRATE", "FPS"}) {
    if (word == known) {
      rejected.command = known;
    }
  }
  const auto numeric = [](std::string_view token) {
    const auto value = parse_unsigned<std::uint64_t>(token);
    return value.has_value() || value.error() == DecimalError::TooLarge;
  };
  // "BITRATE {n}" or "FPS {n}" whose number is well formed but 0 or too
  // large for 32 bits.
  if ((word == "BITRATE" || word == "FPS") && trimmed.size() > word.size() + 1 && trimmed[word.size()] == ' ' &&
      numeric(trimmed.substr(word.size() + 1))) {
    rejected.fault = Fault::OutOfRange;
  }
  // "CROP {w} {h}" whose numbers are well formed but one is out of range
  // (too large for any type included).
  if (word == "CROP") {
    const std::string_view numbers = trimmed.substr(std::min(trimmed.size(), word.size() + 1));
    const std::size_t space = numbers.find(' ');
    if (trimmed.size() > word.size() && trimmed[word.size()] == ' ' && space != std::string_view::npos &&
        numeric(numbers.substr(0, space)) && numeric(numbers.substr(space + 1))) {
      rejected.fault = Fault::OutOfRange;
    }
  }
  return rejected;
}

std::optional<ControlCommand> parse_control_command(std::span<const std::byte> line) {
  return parse_control_command(
      std::string_view(reinterpret_cast<const char*>(line.data()), line.size()));
}

std::string format_control_command(const ControlCommand& command) {
  switch (command.kind) {
    case ControlCommand::Kind::Keyframe:
      return "KEYFRAME";
    case ControlCommand::Kind::Pause:
      return "PAUSE";
    case ControlCommand::Kind::Resume:
      return "RESUME";
    case ControlCommand::Kind::Stop:
      return "STOP";
    case ControlCommand::Kind::Bitrate:
    case ControlCommand::Kind::Fps: {
      std::string line = command.kind == ControlCommand::Kind::Fps ? "FPS " : "BITRATE ";
      append_decimal(line, command.value);
      return line;
    }
    case ControlCommand::Kind::Crop: {
      std::string line = "CROP ";
      append_decimal(line, command.width);
      line += ' ';
      append_decimal(line, command.height);
      return line;
    }
  }
  return {};
}

bool is_valid_window_marker(std::string_view marker) {
  constexpr std::size_t min_bytes = 16;
  constexpr std::size_t max_bytes = 64;
  return marker.size() >= min_bytes && marker.size() <= max_bytes &&
         std::all_of(marker.begin(), marker.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '-';
         });
}

std::string sources_json(std::span<const SourceDisplay> displays,
                         std::span<const SourceWindow> windows) {
  JsonWriter json;
  json.begin_object();
  json.key("displays");
  json.begin_array();
  for (const SourceDisplay& display : displays) {
    json.begin_object();
    json.key("height");
    json.value(std::uint64_t{display.height});
    json.key("id");
    json.value(display.id);
    json.key("name");
    json.value(display.name);
    json.key("width");
    json.value(std::uint64_t{display.width});
    json.end_object();
  }
  json.end_array();
  json.key("windows");
  json.begin_array();
  for (const SourceWindow& window : windows) {
    json.begin_object();
    json.key("app");
    json.value(window.app);
    json.key("id");
    json.value(window.id);
    json.key("thumbnail");
    if (window.thumbnail) {
      json.value(*window.thumbnail);
    } else {
      json.null();
    }
    json.key("title");
    json.value(window.title);
    json.end_object();
  }
  json.end_array();
  json.end_object();
  return json.take();
}

std::string display_label(std::optional<std::string_view> name, std::uint64_t index) {
  if (name) {
    const std::string_view trimmed = text::trim_white_space(*name);
    if (!trimmed.empty()) {
      return std::string(trimmed);
    }
  }
  // "Écran " with É as its UTF-8 bytes, so the source file's encoding does not matter.
  std::string label = "\xC3\x89" "cran ";
  // index + 1 wraps only for the last u64, which no display enumeration reaches.
  append_decimal(label, index + 1);
  return label;
}

FrameRect content_crop(std::uint32_t frame_width, std::uint32_t frame_height,
                       std::uint32_t content_width, std::uint32_t content_height) {
  const std::uint32_t width = std::min(frame_width, content_width);
  const std::uint32_t height = std::min(frame_height, content_height);
  const std::uint32_t left = (frame_width - width) / 2;
  const std::uint32_t extra_height = frame_height - height;
  const std::uint32_t top = extra_height > left ? extra_height - left : 0;
  return {left, top, left + width, top + height};
}

}  // namespace quorvex::sender
