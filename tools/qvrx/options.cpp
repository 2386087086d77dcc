#include "qvrx/options.h"

#include <array>
#include <charconv>

namespace quorvex::tools {
namespace {

// The largest picture side H.264 levels allow, and more than any display.
constexpr int max_picture_side = 16384;

// The whole text must be numbers separated by the one separator.
template <typename T>
bool parse_numbers(const std::string& text, char separator, std::span<T> values) {
  const char* at = text.data();
  const char* end = text.data() + text.size();
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) {
      if (at == end || *at != separator) {
        return false;
      }
      ++at;
    }
    const auto [next, ec] = std::from_chars(at, end, values[i]);
    if (ec != std::errc() || next == at) {
      return false;
    }
    at = next;
  }
  return at == end;
}

// A decimal number of bits per second above 0.
std::optional<std::uint64_t> parse_rate(const std::string& text) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<CommandOptions> parse_command_options(std::span<const std::string> options, OptionRules rules) {
  CommandOptions result;
  bool clock = rules.clock_always;
  std::optional<std::array<int, 2>> size;
  std::optional<std::array<double, 4>> strip;
  for (std::size_t i = 0; i < options.size(); ++i) {
    const std::string& option = options[i];
    const bool has_value = i + 1 < options.size();
    if (option == "--clock") {
      clock = true;
    } else if (option == "--json" && rules.json) {
      result.json = true;
    } else if (option == "--link-rate" && rules.link_rate && has_value) {
      result.link_rate_bps = parse_rate(options[++i]);
      if (!result.link_rate_bps) {
        return std::nullopt;
      }
    } else if (option == "--target-bitrate" && rules.plot && has_value) {
      result.target_bitrate_bps = parse_rate(options[++i]);
      if (!result.target_bitrate_bps) {
        return std::nullopt;
      }
    } else if (option == "--log" && rules.plot && has_value) {
      result.log_path = options[++i];
    } else if (option == "--size" && has_value) {
      std::array<int, 2> values{};
      if (!parse_numbers(options[++i], 'x', std::span<int>(values)) || values[0] < 1 || values[1] < 1 ||
          values[0] > max_picture_side || values[1] > max_picture_side) {
        return std::nullopt;
      }
      size = values;
    } else if (option == "--strip" && has_value) {
      std::array<double, 4> values{};
      if (!parse_numbers(options[++i], ',', std::span<double>(values)) || !(values[2] > 0) || !(values[3] > 0)) {
        return std::nullopt;
      }
      strip = values;
    } else {
      return std::nullopt;
    }
  }
  if (!clock) {
    return (size || strip) ? std::nullopt : std::optional<CommandOptions>(result);
  }
  ClockOptions clock_options;
  if (size) {
    clock_options.width = (*size)[0];
    clock_options.height = (*size)[1];
  }
  if (strip) {
    clock_options.placement = {(*strip)[0], (*strip)[1], (*strip)[2], (*strip)[3]};
  }
  result.clock = clock_options;
  return result;
}

}  // namespace quorvex::tools
