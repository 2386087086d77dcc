#include "app/config.h"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <string_view>
#include <utility>

#include "app/cli/decimal_argument.h"
#include "app/cli/usage.h"

namespace quorvex::app {
namespace {

enum class Option {
  Source,
  DisplayId,
  DisplayNumber,
  WindowTitle,
  WindowId,
  ContentWidth,
  ContentHeight,
  Width,
  Height,
  Fps,
  Bitrate,
  Duration,
  Pacing,
  RateBufferMs,
  KeyframeInterval,
  IdleRefreshMs,
};

struct OptionName {
  std::string_view name;
  Option option;
};

// Every option here takes a value; "--list-sources", "--help" and
// "--version" are handled on their own.
constexpr std::array<OptionName, 16> kOptions{{
    {"--source", Option::Source},
    {"--display-id", Option::DisplayId},
    {"--display-number", Option::DisplayNumber},
    {"--window-title", Option::WindowTitle},
    {"--window-id", Option::WindowId},
    {"--content-width", Option::ContentWidth},
    {"--content-height", Option::ContentHeight},
    {"--width", Option::Width},
    {"--height", Option::Height},
    {"--fps", Option::Fps},
    {"--bitrate", Option::Bitrate},
    {"--duration", Option::Duration},
    {"--pacing", Option::Pacing},
    {"--rate-buffer-ms", Option::RateBufferMs},
    {"--keyframe-interval", Option::KeyframeInterval},
    {"--idle-refresh-ms", Option::IdleRefreshMs},
}};

// The options that take no value: each sets its field of the Config.
struct FlagName {
  std::string_view name;
  bool Config::*field;
};

constexpr std::array<FlagName, 6> kFlags{{
    {"--quiet", &Config::quiet},
    {"--until-stopped", &Config::until_stopped},
    {"--stop-on-stdin-close", &Config::stop_on_stdin_close},
    {"--stay-after-parent", &Config::stay_after_parent},
    {"--force-tty", &Config::force_tty},
    {"--drop-filler", &Config::drop_filler},
}};

constexpr std::string_view kDisplayChoiceMessage = "--display-id and --display-number cannot be combined";

constexpr std::string_view kPacingMessage = "--pacing must be strict or grid";

constexpr std::string_view kRateBufferMessage = "--rate-buffer-ms must be greater than zero";

constexpr std::string_view kIdleRefreshMessage = "--idle-refresh-ms must be greater than zero";

constexpr std::string_view kSourceCombinationMessage =
    "Windows helper supports --source screen, or --source window with --window-title or --window-id";

// Durations are kept in nanoseconds so they compare with clock differences
// directly. More seconds than that can hold (about 292 years) would wrap, so
// they saturate: such a session simply never times out.
std::chrono::nanoseconds duration_from_seconds(std::uint64_t seconds) {
  using std::chrono::duration_cast;
  constexpr auto kMaxSeconds = static_cast<std::uint64_t>(
      duration_cast<std::chrono::seconds>(std::chrono::nanoseconds::max()).count());
  if (seconds > kMaxSeconds) {
    return std::chrono::nanoseconds::max();
  }
  return std::chrono::seconds{static_cast<std::chrono::seconds::rep>(seconds)};
}

struct Parsing {
  Config config;
  std::string source = "screen";
  std::uint32_t content_width = 0;
  std::uint32_t content_height = 0;
};

// Monadic std::expected operations are missing from the standard library we
// build with, hence this small helper.
template <class T, class Store>
Result<void> store_parsed(Result<T> parsed, Store store) {
  if (!parsed) {
    return std::unexpected(std::move(parsed.error()));
  }
  store(*parsed);
  return {};
}

Result<void> apply_option(Parsing& p, Option option, const std::string& value) {
  const auto store_u32 = [&value](std::uint32_t& field) -> Result<void> {
    return store_parsed(parse_decimal_u32(value), [&field](std::uint32_t v) { field = v; });
  };
  switch (option) {
    case Option::Source:
      p.source = value;
      return {};
    case Option::DisplayId:
      return store_parsed(parse_decimal_u64(value), [&p](std::uint64_t v) { p.config.display_id = v; });
    case Option::DisplayNumber:
      return store_parsed(parse_decimal_u64(value), [&p](std::uint64_t v) { p.config.display_number = v; });
    case Option::WindowTitle:
      p.config.window_title = value;
      return {};
    case Option::WindowId:
      return store_parsed(parse_decimal_u64(value), [&p](std::uint64_t v) { p.config.window_id = v; });
    case Option::ContentWidth:
      return store_u32(p.content_width);
    case Option::ContentHeight:
      return store_u32(p.content_height);
    case Option::Width:
      return store_u32(p.config.width);
    case Option::Height:
      return store_u32(p.config.height);
    case Option::Fps:
      return store_u32(p.config.fps);
    case Option::Bitrate:
      return store_u32(p.config.bitrate);
    case Option::Duration:
      return store_parsed(parse_decimal_u64(value),
                          [&p](std::uint64_t v) { p.config.duration = duration_from_seconds(v); });
    case Option::Pacing:
      // Checked at once, like a number: the first bad argument decides.
      if (value == "strict") {
        p.config.pacing = sender::PacingRule::Strict;
      } else if (value == "grid") {
        p.config.pacing = sender::PacingRule::Grid;
      } else {
        return fail(std::string(kPacingMessage));
      }
      return {};
    case Option::RateBufferMs:
      return store_parsed(parse_decimal_u32(value), [&p](std::uint32_t v) { p.config.rate_buffer_ms = v; });
    case Option::KeyframeInterval:
      return store_parsed(parse_decimal_u32(value), [&p](std::uint32_t v) { p.config.keyframe_interval = v; });
    case Option::IdleRefreshMs:
      return store_parsed(parse_decimal_u32(value),
                          [&p](std::uint32_t v) { p.config.idle_refresh = std::chrono::milliseconds{v}; });
  }
  return {};
}

Result<void> validate(Parsing& p) {
  Config& c = p.config;
  // A 1-pixel side cannot be rounded down to an even size, hence 2.
  if (c.width < 2 || c.height < 2 || c.fps == 0 || c.bitrate == 0 || c.duration == std::chrono::nanoseconds::zero()) {
    return fail("dimensions, fps, bitrate and duration must be greater than zero");
  }
  if (c.display_id && c.display_number) {
    return fail(std::string(kDisplayChoiceMessage));
  }
  // An empty buffer would hold no picture at all.
  if (c.rate_buffer_ms == 0u) {
    return fail(std::string(kRateBufferMessage));
  }
  if (c.idle_refresh && c.idle_refresh->count() == 0) {
    return fail(std::string(kIdleRefreshMessage));
  }
  if (p.source == "screen") {
    if (c.window_title || c.window_id) {
      return fail(std::string(kSourceCombinationMessage));
    }
  } else if (p.source == "window") {
    if (c.window_title.has_value() == c.window_id.has_value()) {
      return fail(std::string(kSourceCombinationMessage));
    }
    if (c.window_title) {
      if (p.content_width < 2 || p.content_height < 2) {
        return fail("--source window requires --content-width and --content-height");
      }
      c.content_size->store(pack_content_size(p.content_width, p.content_height));
    }
  } else {
    return fail(std::string(kSourceCombinationMessage));
  }
  if (c.until_stopped) {
    // Compared against elapsed time, never added to a time point: a session
    // of this length never times out.
    c.duration = std::chrono::nanoseconds::max();
  }
  // The NV12 encoder surface needs even dimensions.
  c.width &= ~std::uint32_t{1};
  c.height &= ~std::uint32_t{1};
  return {};
}

}  // namespace

Result<ParseOutcome> parse_arguments(std::span<const std::string> args_after_program_name,
                                     ImmediateOptions& immediate) {
  Parsing p;
  const auto args = args_after_program_name;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--list-sources") {
      if (auto listed = immediate.list_sources(); !listed) {
        return std::unexpected(std::move(listed.error()));
      }
      return ParseOutcome{Listed{}};
    }
    if (arg == "--help" || arg == "-h" || arg == "--version") {
      if (auto printed = arg == "--version" ? immediate.version() : immediate.help(); !printed) {
        return std::unexpected(std::move(printed.error()));
      }
      return ParseOutcome{Printed{}};
    }
    if (const auto flag = std::ranges::find(kFlags, std::string_view(arg), &FlagName::name); flag != kFlags.end()) {
      p.config.*(flag->field) = true;
      continue;
    }
    const auto found = std::ranges::find(kOptions, std::string_view(arg), &OptionName::name);
    if (found == kOptions.end()) {
      return fail("unknown argument: " + arg);
    }
    if (i + 1 == args.size()) {
      return fail(arg + " requires a value");
    }
    ++i;
    if (auto applied = apply_option(p, found->option, args[i]); !applied) {
      return std::unexpected(std::move(applied.error()));
    }
  }
  if (auto valid = validate(p); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  return ParseOutcome{std::move(p.config)};
}

Result<ParseOutcome> parse_arguments(std::span<const std::string> args_after_program_name,
                                     ListSources& list_sources) {
  ImmediateOptions immediate{.list_sources = std::ref(list_sources), .help = write_usage, .version = write_version};
  return parse_arguments(args_after_program_name, immediate);
}

}  // namespace quorvex::app
