// The command-line parser on argument lists split from the input at NUL
// bytes (a NUL cannot occur inside a real argument). Every outcome is a
// valid configuration, one immediate option acted on (listing, usage,
// version), or one of the documented errors; a valid configuration written
// back as arguments parses to itself; the first bad argument or immediate
// option decides, so arguments after it change nothing. Which options take a
// value comes from the option table; how a configuration is written back as
// arguments is spelt out here, independently of it.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "app/cli/options.h"
#include "app/config.h"
#include "check.h"

namespace {

using quorvex::app::Config;
using quorvex::app::ImmediateOptions;
using quorvex::app::Listed;
using quorvex::app::ParseOutcome;
using quorvex::app::Printed;
using quorvex::app::Result;

constexpr std::array<std::string_view, 3> number_messages = {
    "cannot parse integer from empty string", "invalid digit found in string",
    "number too large to fit in target type"};
constexpr std::string_view pacing_message = "--pacing must be strict or grid";
constexpr std::string_view display_choice_message = "--display-id and --display-number cannot be combined";
constexpr std::string_view rate_buffer_message = "--rate-buffer-ms must be greater than zero";
constexpr std::string_view range_message = "dimensions, fps, bitrate and duration must be greater than zero";
constexpr std::string_view idle_refresh_message = "--idle-refresh-ms must be greater than zero";
constexpr std::string_view source_message =
    "Windows helper supports --source screen, or --source window with --window-title or --window-id";
constexpr std::string_view content_message = "--source window requires --content-width and --content-height";
constexpr std::string_view immediate_failed_message = "immediate option failed";

// From the option table, as the parser reads it; the round trip through
// arguments_for below names the options on its own.
bool takes_value(std::string_view arg) {
  const quorvex::app::Option* option = quorvex::app::find_option(arg);
  return option != nullptr && quorvex::app::takes_value(*option);
}

bool is_validation_error(std::string_view message) {
  return message == range_message || message == source_message || message == content_message ||
         message == display_choice_message || message == rate_buffer_message || message == idle_refresh_message;
}

struct Outcome {
  Result<ParseOutcome> result;
  // Calls of the immediate options, and the last one called.
  int immediate_calls = 0;
  std::string_view immediate;
};

Outcome parse(std::span<const std::string> args, bool immediate_succeeds) {
  Outcome outcome{std::unexpected(quorvex::app::Error{}), 0, {}};
  const auto act = [&](std::string_view option) {
    return [&outcome, immediate_succeeds, option]() -> Result<void> {
      ++outcome.immediate_calls;
      outcome.immediate = option;
      if (immediate_succeeds) {
        return {};
      }
      return quorvex::app::fail(std::string(immediate_failed_message));
    };
  };
  ImmediateOptions immediate{act("--list-sources"), act("--help"), act("--version")};
  outcome.result = quorvex::app::parse_arguments(args, immediate);
  return outcome;
}

// The first immediate option the parser can reach: the first one in an
// option's place, counting from the start and skipping option values.
std::string_view first_immediate(std::span<const std::string> args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--list-sources" || args[i] == "--help" || args[i] == "--version") {
      return args[i];
    }
    if (args[i] == "-h") {
      return "--help";
    }
    if (takes_value(args[i])) {
      ++i;
    }
  }
  return {};
}

bool same_config(const Config& a, const Config& b) {
  return a.width == b.width && a.height == b.height && a.fps == b.fps && a.bitrate == b.bitrate &&
         a.duration == b.duration && a.display_id == b.display_id && a.display_number == b.display_number &&
         a.window_title == b.window_title &&
         a.window_id == b.window_id && a.pacing == b.pacing && a.quiet == b.quiet && a.until_stopped == b.until_stopped &&
         a.stop_on_stdin_close == b.stop_on_stdin_close && a.stay_after_parent == b.stay_after_parent &&
         a.force_tty == b.force_tty && a.rate_buffer_ms == b.rate_buffer_ms &&
         a.keyframe_interval == b.keyframe_interval && a.idle_refresh == b.idle_refresh &&
         a.drop_filler == b.drop_filler && a.keyframe_request->load() == b.keyframe_request->load() &&
         a.content_size->load() == b.content_size->load() && a.paused->load() == b.paused->load();
}

// The arguments that select exactly this configuration.
std::vector<std::string> arguments_for(const Config& c) {
  std::vector<std::string> args = {"--width",   std::to_string(c.width),   "--height",
                                   std::to_string(c.height), "--fps", std::to_string(c.fps),
                                   "--bitrate", std::to_string(c.bitrate), "--pacing",
                                   c.pacing == quorvex::sender::PacingRule::Grid ? "grid" : "strict"};
  // A saturated duration came from more seconds than it can hold; the
  // largest number the option takes saturates it again.
  args.push_back("--duration");
  args.push_back(c.duration == std::chrono::nanoseconds::max()
                     ? std::string("18446744073709551615")
                     : std::to_string(std::chrono::duration_cast<std::chrono::seconds>(c.duration).count()));
  for (const auto& [flag, set] : {std::pair{"--quiet", c.quiet}, std::pair{"--until-stopped", c.until_stopped},
                                  std::pair{"--stop-on-stdin-close", c.stop_on_stdin_close},
                                  std::pair{"--stay-after-parent", c.stay_after_parent},
                                  std::pair{"--force-tty", c.force_tty}, std::pair{"--drop-filler", c.drop_filler}}) {
    if (set) {
      args.push_back(flag);
    }
  }
  if (c.idle_refresh) {
    args.insert(args.end(), {"--idle-refresh-ms", std::to_string(c.idle_refresh->count())});
  }
  if (c.display_id) {
    args.insert(args.end(), {"--display-id", std::to_string(*c.display_id)});
  }
  if (c.rate_buffer_ms) {
    args.insert(args.end(), {"--rate-buffer-ms", std::to_string(*c.rate_buffer_ms)});
  }
  if (c.keyframe_interval) {
    args.insert(args.end(), {"--keyframe-interval", std::to_string(*c.keyframe_interval)});
  }
  if (c.display_number) {
    args.insert(args.end(), {"--display-number", std::to_string(*c.display_number)});
  }
  if (c.window_title) {
    const std::uint64_t packed = c.content_size->load();
    args.insert(args.end(), {"--source", "window", "--window-title", *c.window_title, "--content-width",
                             std::to_string(quorvex::app::content_width(packed)), "--content-height",
                             std::to_string(quorvex::app::content_height(packed))});
  } else if (c.window_id) {
    args.insert(args.end(), {"--source", "window", "--window-id", std::to_string(*c.window_id)});
  }
  return args;
}

void check_config(const Config& c) {
  QVX_FUZZ_CHECK(c.width >= 2 && c.width % 2 == 0 && c.height >= 2 && c.height % 2 == 0);
  QVX_FUZZ_CHECK(c.fps > 0 && c.bitrate > 0 && c.duration > std::chrono::nanoseconds::zero());
  QVX_FUZZ_CHECK(!(c.window_title && c.window_id));
  QVX_FUZZ_CHECK(!(c.display_id && c.display_number));
  QVX_FUZZ_CHECK(!c.idle_refresh || c.idle_refresh->count() > 0);
  QVX_FUZZ_CHECK(!c.until_stopped || c.duration == std::chrono::nanoseconds::max());
  const std::uint64_t packed = c.content_size->load();
  if (c.window_title) {
    QVX_FUZZ_CHECK(quorvex::app::content_width(packed) >= 2 && quorvex::app::content_height(packed) >= 2);
  } else {
    QVX_FUZZ_CHECK(packed == 0);
  }
  QVX_FUZZ_CHECK(!c.keyframe_request->load() && !c.paused->load() && !c.stop_request->load());

  const std::vector<std::string> canonical = arguments_for(c);
  const Outcome again = parse(canonical, true);
  QVX_FUZZ_CHECK(again.immediate_calls == 0);
  QVX_FUZZ_CHECK(again.result && std::holds_alternative<Config>(*again.result));
  QVX_FUZZ_CHECK(same_config(std::get<Config>(*again.result), c));
}

void check_error(std::span<const std::string> args, std::string_view message) {
  bool known = is_validation_error(message) || message == pacing_message;
  for (const std::string_view number : number_messages) {
    known = known || message == number;
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    known = known || message == "unknown argument: " + args[i];
  }
  if (!args.empty() && takes_value(args.back())) {
    known = known || message == args.back() + " requires a value";
  }
  QVX_FUZZ_CHECK(known);
}

std::vector<std::string> split_at_nul(std::string_view input) {
  std::vector<std::string> args;
  if (input.empty()) {
    return args;
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t nul = input.find('\0', start);
    args.emplace_back(input.substr(start, nul == std::string_view::npos ? nul : nul - start));
    if (nul == std::string_view::npos) {
      return args;
    }
    start = nul + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args = split_at_nul(quorvex::fuzz::as_text(data, size));
  const Outcome acting = parse(args, true);
  const Outcome failing = parse(args, false);

  // An immediate option runs at most once, only when the parse reaches it,
  // and its outcome is the parse's.
  QVX_FUZZ_CHECK(acting.immediate_calls <= 1 && acting.immediate_calls == failing.immediate_calls);
  QVX_FUZZ_CHECK(acting.immediate == failing.immediate);
  if (acting.immediate_calls == 1) {
    QVX_FUZZ_CHECK(acting.immediate == first_immediate(args));
    QVX_FUZZ_CHECK(acting.result);
    QVX_FUZZ_CHECK(acting.immediate == "--list-sources" ? std::holds_alternative<Listed>(*acting.result)
                                                        : std::holds_alternative<Printed>(*acting.result));
    QVX_FUZZ_CHECK(!failing.result && failing.result.error().message == immediate_failed_message);
  } else {
    QVX_FUZZ_CHECK(!acting.result || std::holds_alternative<Config>(*acting.result));
    QVX_FUZZ_CHECK(acting.result.has_value() == failing.result.has_value());
  }

  // Arguments after an immediate option or after the first bad argument are
  // never examined.
  const bool decided_early =
      acting.immediate_calls == 1 ||
      (!acting.result && !is_validation_error(acting.result.error().message) &&
       !(!args.empty() && acting.result.error().message == args.back() + " requires a value"));
  if (decided_early) {
    std::vector<std::string> longer = args;
    longer.insert(longer.end(), {"--fps", "0", "--bogus", "--help", "--width"});
    const Outcome after = parse(longer, true);
    QVX_FUZZ_CHECK(after.immediate_calls == acting.immediate_calls && after.immediate == acting.immediate);
    QVX_FUZZ_CHECK(after.result.has_value() == acting.result.has_value());
    if (!after.result) {
      QVX_FUZZ_CHECK(after.result.error() == acting.result.error());
    }
  }

  if (!acting.result) {
    check_error(args, acting.result.error().message);
  } else if (const auto* config = std::get_if<Config>(&*acting.result)) {
    check_config(*config);
  }
  return 0;
}
