#include "app/config.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "app/cli/decimal_argument.h"
#include "app/cli/options.h"
#include "app/cli/usage.h"

namespace quorvex::app {
namespace {

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

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// Clang 16 does not deduce an aggregate's template arguments by itself.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// Reads `value` the way the field's type says (options.h) and keeps it
// there; a flag's value is empty and unread.
Result<void> store(CommandLine& line, const OptionField& field, std::string_view value) {
  Config& c = line.config;
  const auto u32 = [value](std::uint32_t& into) {
    return store_parsed(parse_decimal_u32(value), [&into](std::uint32_t v) { into = v; });
  };
  return std::visit(
      Overloaded{
          [&c](bool Config::*flag) -> Result<void> {
            c.*flag = true;
            return {};
          },
          [&](std::uint32_t Config::*f) { return u32(c.*f); },
          [&](std::uint32_t CommandLine::*f) { return u32(line.*f); },
          [&](std::optional<std::uint32_t> Config::*f) {
            return store_parsed(parse_decimal_u32(value), [&](std::uint32_t v) { c.*f = v; });
          },
          [&](std::optional<std::uint64_t> Config::*f) {
            return store_parsed(parse_decimal_u64(value), [&](std::uint64_t v) { c.*f = v; });
          },
          [&](std::chrono::nanoseconds Config::*f) {
            return store_parsed(parse_decimal_u64(value), [&](std::uint64_t v) { c.*f = duration_from_seconds(v); });
          },
          [&](std::optional<std::chrono::milliseconds> Config::*f) {
            return store_parsed(parse_decimal_u32(value),
                                [&](std::uint32_t v) { c.*f = std::chrono::milliseconds{v}; });
          },
          [&](std::optional<std::string> Config::*f) -> Result<void> {
            c.*f = std::string(value);
            return {};
          },
          [&](std::string CommandLine::*f) -> Result<void> {
            line.*f = std::string(value);
            return {};
          },
          [&](sender::PacingRule Config::*f) -> Result<void> {
            // Checked at once, like a number: the first bad argument decides.
            const auto word = std::ranges::find(pacing_words, value, &PacingWord::word);
            if (word == pacing_words.end()) {
              return fail(std::string(kPacingMessage));
            }
            c.*f = word->rule;
            return {};
          },
      },
      field);
}

Result<void> validate(CommandLine& line) {
  Config& c = line.config;
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
  if (line.source == "screen") {
    if (c.window_title || c.window_id) {
      return fail(std::string(kSourceCombinationMessage));
    }
  } else if (line.source == "window") {
    if (c.window_title.has_value() == c.window_id.has_value()) {
      return fail(std::string(kSourceCombinationMessage));
    }
    if (c.window_title) {
      if (line.content_width < 2 || line.content_height < 2) {
        return fail("--source window requires --content-width and --content-height");
      }
      c.content_size->store(pack_content_size(line.content_width, line.content_height));
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
  CommandLine line;
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
    const Option* option = find_option(arg);
    if (option == nullptr) {
      return fail("unknown argument: " + arg);
    }
    std::string_view value;
    if (takes_value(*option)) {
      if (i + 1 == args.size()) {
        return fail(arg + " requires a value");
      }
      value = args[++i];
    }
    if (auto stored = store(line, option->field, value); !stored) {
      return std::unexpected(std::move(stored.error()));
    }
  }
  if (auto valid = validate(line); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  return ParseOutcome{std::move(line.config)};
}

Result<ParseOutcome> parse_arguments(std::span<const std::string> args_after_program_name,
                                     ListSources& list_sources) {
  ImmediateOptions immediate{.list_sources = std::ref(list_sources), .help = write_usage, .version = write_version};
  return parse_arguments(args_after_program_name, immediate);
}

}  // namespace quorvex::app
