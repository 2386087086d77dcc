#include "app/config.h"

#include <gtest/gtest.h>

#include "app/cli/options.h"
#include "app/cli/usage.h"
#include "number_error_texts.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <algorithm>
#include <string>
#include <variant>
#include <vector>

namespace quorvex::app {
namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string>;

// The observable result of a successful parse, compared as one value.
struct Parsed {
  std::uint32_t width = 1920;
  std::uint32_t height = 1080;
  std::uint32_t fps = 30;
  std::uint32_t bitrate = 8'000'000;
  std::chrono::nanoseconds duration = 60s;
  std::optional<std::uint64_t> display_id;
  std::optional<std::uint64_t> display_number;
  std::optional<std::string> window_title;
  std::optional<std::uint64_t> window_id;
  std::uint64_t content_size = 0;
  bool quiet = false;
  bool stop_on_stdin_close = false;
  bool stay_after_parent = false;
  std::optional<std::uint32_t> rate_buffer_ms;
  std::optional<std::uint32_t> keyframe_interval;
  std::optional<std::chrono::milliseconds> idle_refresh;
  bool drop_filler = false;

  friend bool operator==(const Parsed&, const Parsed&) = default;
  friend void PrintTo(const Parsed& p, std::ostream* os) {
    *os << p.width << "x" << p.height << " fps=" << p.fps << " bitrate=" << p.bitrate
        << " duration_ns=" << p.duration.count() << " display_id=" << p.display_id.value_or(0) << " display_number=" << p.display_number.value_or(0)
        << " window_title=" << p.window_title.value_or("<none>") << " window_id=" << p.window_id.value_or(0)
        << " content_size=" << p.content_size << " quiet=" << p.quiet << " stop_on_stdin_close=" << p.stop_on_stdin_close
        << " stay_after_parent=" << p.stay_after_parent
        << " rate_buffer_ms=" << (p.rate_buffer_ms ? std::to_string(*p.rate_buffer_ms) : "<none>")
        << " keyframe_interval=" << (p.keyframe_interval ? std::to_string(*p.keyframe_interval) : "<none>")
        << " idle_refresh_ms=" << (p.idle_refresh ? std::to_string(p.idle_refresh->count()) : "<none>")
        << " drop_filler=" << p.drop_filler;
  }
};

Parsed observe(const Config& c) {
  return Parsed{c.width,        c.height,    c.fps,       c.bitrate,
                c.duration,     c.display_id, c.display_number, c.window_title, c.window_id,
                c.content_size->load(), c.quiet, c.stop_on_stdin_close, c.stay_after_parent,
                c.rate_buffer_ms, c.keyframe_interval, c.idle_refresh, c.drop_filler};
}

std::string describe(const Args& args) {
  std::string s = "[";
  for (const auto& a : args) {
    s += " '" + a + "'";
  }
  return s + " ]";
}

// Parses with a listing that must never be reached.
Result<ParseOutcome> parse(const Args& args) {
  ListSources list_sources = []() -> Result<void> {
    ADD_FAILURE() << "sources listed unexpectedly";
    return {};
  };
  return parse_arguments(args, list_sources);
}

struct AcceptedCase {
  Args args;
  Parsed expected;
};

class AcceptedCommandLine : public testing::TestWithParam<AcceptedCase> {};

TEST_P(AcceptedCommandLine, YieldsTheConfigTheOptionsDescribe) {
  const auto& c = GetParam();
  const auto outcome = parse(c.args);
  ASSERT_TRUE(outcome.has_value()) << describe(c.args) << ": " << outcome.error().message;
  ASSERT_TRUE(std::holds_alternative<Config>(*outcome)) << describe(c.args);
  EXPECT_EQ(observe(std::get<Config>(*outcome)), c.expected) << describe(c.args);
}

Parsed with(auto change) {
  Parsed p;
  change(p);
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AcceptedCommandLine,
    testing::Values(
        AcceptedCase{{}, Parsed{}},
        AcceptedCase{{"--width", "1921", "--height", "1081"}, Parsed{}},
        AcceptedCase{{"--width", "2", "--height", "3"}, with([](Parsed& p) { p.width = p.height = 2; })},
        AcceptedCase{{"--width", "+640"}, with([](Parsed& p) { p.width = 640; })},
        AcceptedCase{{"--width", "00640"}, with([](Parsed& p) { p.width = 640; })},
        AcceptedCase{{"--fps", "25", "--fps", "50"}, with([](Parsed& p) { p.fps = 50; })},
        // A flag takes no value: what follows it is the next option.
        AcceptedCase{{"--quiet", "--fps", "25"}, with([](Parsed& p) {
                       p.quiet = true;
                       p.fps = 25;
                     })},
        AcceptedCase{{"--stay-after-parent", "--stop-on-stdin-close"}, with([](Parsed& p) {
                       p.stop_on_stdin_close = true;
                       p.stay_after_parent = true;
                     })},
        AcceptedCase{{"--duration", "5", "--until-stopped"},
                     with([](Parsed& p) { p.duration = std::chrono::nanoseconds::max(); })},
        AcceptedCase{{"--fps", "25", "--quiet", "--quiet"}, with([](Parsed& p) {
                       p.quiet = true;
                       p.fps = 25;
                     })},
        AcceptedCase{{"--bitrate", "4294967295", "--fps", "1"},
                     with([](Parsed& p) { p.bitrate = 4294967295u;
                       p.fps = 1; })},
        AcceptedCase{{"--duration", "5"}, with([](Parsed& p) { p.duration = 5s; })},
        AcceptedCase{{"--idle-refresh-ms", "1"}, with([](Parsed& p) { p.idle_refresh = 1ms; })},
        AcceptedCase{{"--idle-refresh-ms", "4294967295", "--drop-filler"}, with([](Parsed& p) {
                       p.idle_refresh = 4294967295ms;
                       p.drop_filler = true;
                     })},
        // Beyond what nanoseconds can hold the session never times out
        // instead of wrapping to a negative or tiny length.
        AcceptedCase{{"--duration", "18446744073709551615"},
                     with([](Parsed& p) { p.duration = std::chrono::nanoseconds::max(); })},
        AcceptedCase{{"--duration", "9223372036"}, with([](Parsed& p) { p.duration = 9223372036s; })},
        AcceptedCase{{"--duration", "9223372037"},
                     with([](Parsed& p) { p.duration = std::chrono::nanoseconds::max(); })},
        // The rate buffer and the keyframe interval: absent unless given; a
        // keyframe interval of 0 (keyframes only when asked) is a value.
        AcceptedCase{{"--rate-buffer-ms", "33"}, with([](Parsed& p) { p.rate_buffer_ms = 33; })},
        AcceptedCase{{"--rate-buffer-ms", "+1", "--rate-buffer-ms", "4294967295"},
                     with([](Parsed& p) { p.rate_buffer_ms = 4294967295u; })},
        AcceptedCase{{"--keyframe-interval", "0"}, with([](Parsed& p) { p.keyframe_interval = 0; })},
        AcceptedCase{{"--keyframe-interval", "0120", "--rate-buffer-ms", "100"}, with([](Parsed& p) {
                       p.keyframe_interval = 120;
                       p.rate_buffer_ms = 100;
                     })},
        AcceptedCase{{"--display-id", "0"}, with([](Parsed& p) { p.display_id = 0; })},
        AcceptedCase{{"--display-number", "2"}, with([](Parsed& p) { p.display_number = 2; })},
        AcceptedCase{{"--display-id", "18446744073709551615"},
                     with([](Parsed& p) { p.display_id = 18446744073709551615u; })},
        AcceptedCase{{"--source", "screen", "--content-width", "1"}, Parsed{}},
        AcceptedCase{{"--source", "window", "--window-title", "qvx-marker-0123456789", "--content-width", "1280",
                      "--content-height", "720"},
                     with([](Parsed& p) {
                       p.window_title = "qvx-marker-0123456789";
                       p.content_size = (std::uint64_t{1280} << 32) + 720;
                     })},
        // A value that looks like an option is still the value.
        AcceptedCase{{"--source", "window", "--window-title", "--fps", "--content-width", "2", "--content-height",
                      "2"},
                     with([](Parsed& p) {
                       p.window_title = "--fps";
                       p.content_size = (std::uint64_t{2} << 32) + 2;
                     })},
        AcceptedCase{{"--source", "window", "--window-id", "12345", "--content-width", "1"},
                     with([](Parsed& p) { p.window_id = 12345; })},
        AcceptedCase{{"--source", "window", "--window-id", "18446744073709551615", "--display-id", "3"},
                     with([](Parsed& p) {
                       p.window_id = 18446744073709551615u;
                       p.display_id = 3;
                     })},
        // Non-ASCII titles pass through byte for byte.
        AcceptedCase{{"--source", "window", "--window-title", "caf\xC3\xA9 \xE2\x82\xAC", "--content-width",
                      "640", "--content-height", "480"},
                     with([](Parsed& p) {
                       p.window_title = "caf\xC3\xA9 \xE2\x82\xAC";
                       p.content_size = (std::uint64_t{640} << 32) + 480;
                     })}));

struct RejectedCase {
  Args args;
  std::string message;
};

class RejectedCommandLine : public testing::TestWithParam<RejectedCase> {};

TEST_P(RejectedCommandLine, FailsWithTheMessageOfTheFirstFault) {
  const auto& c = GetParam();
  const auto outcome = parse(c.args);
  ASSERT_FALSE(outcome.has_value()) << describe(c.args);
  EXPECT_EQ(outcome.error().message, c.message) << describe(c.args);
}

constexpr const char* kZero = "dimensions, fps, bitrate and duration must be greater than zero";
constexpr const char* kSource =
    "Windows helper supports --source screen, or --source window with --window-title or --window-id";
constexpr const char* kContent = "--source window requires --content-width and --content-height";
using number_error_texts::kDigit;
using number_error_texts::kEmpty;
using number_error_texts::kTooLarge;

INSTANTIATE_TEST_SUITE_P(
    UnknownAndMissing, RejectedCommandLine,
    testing::Values(RejectedCase{{"--width=640"}, "unknown argument: --width=640"},
                    RejectedCase{{"--WIDTH", "640"}, "unknown argument: --WIDTH"},
                    RejectedCase{{"--wid", "640"}, "unknown argument: --wid"},
                    RejectedCase{{"640"}, "unknown argument: 640"},
                    RejectedCase{{""}, "unknown argument: "},
                    RejectedCase{{"--preflight"}, "unknown argument: --preflight"},
                    RejectedCase{{"--fps", "30", "--request-permission"}, "unknown argument: --request-permission"},
                    RejectedCase{{"--fps"}, "--fps requires a value"},
                    RejectedCase{{"--idle-refresh-ms"}, "--idle-refresh-ms requires a value"},
                    RejectedCase{{"--drop-filler", "1"}, "unknown argument: 1"},
                    RejectedCase{{"--width", "640", "--window-title"}, "--window-title requires a value"},
                    RejectedCase{{"--source"}, "--source requires a value"}));

constexpr const char* kRateBuffer = "--rate-buffer-ms must be greater than zero";

// The shaping options: numbers checked when met, the buffer's range only
// after the last argument, like the other ranges.
INSTANTIATE_TEST_SUITE_P(
    Shaping, RejectedCommandLine,
    testing::Values(RejectedCase{{"--rate-buffer-ms", "0"}, kRateBuffer},
                    RejectedCase{{"--rate-buffer-ms", "+0", "--fps", "30"}, kRateBuffer},
                    RejectedCase{{"--rate-buffer-ms", "0", "--fps", "0"}, kZero},
                    RejectedCase{{"--rate-buffer-ms", "0", "--bogus"}, "unknown argument: --bogus"},
                    RejectedCase{{"--rate-buffer-ms", "33ms"}, kDigit},
                    RejectedCase{{"--rate-buffer-ms", ""}, kEmpty},
                    RejectedCase{{"--rate-buffer-ms"}, "--rate-buffer-ms requires a value"},
                    RejectedCase{{"--keyframe-interval", "-1"}, kDigit},
                    RejectedCase{{"--keyframe-interval", "4294967296"}, kTooLarge},
                    RejectedCase{{"--keyframe-interval", "x", "--bogus"}, kDigit},
                    RejectedCase{{"--fps", "30", "--keyframe-interval"}, "--keyframe-interval requires a value"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, RejectedCommandLine,
    testing::Values(RejectedCase{{"--width", ""}, kEmpty},
                    RejectedCase{{"--width", "-640"}, kDigit},
                    RejectedCase{{"--width", "+"}, kDigit},
                    RejectedCase{{"--width", "-"}, kDigit},
                    RejectedCase{{"--width", "++640"}, kDigit},
                    RejectedCase{{"--width", " 640"}, kDigit},
                    RejectedCase{{"--width", "0x10"}, kDigit},
                    RejectedCase{{"--bitrate", "8M"}, kDigit},
                    RejectedCase{{"--idle-refresh-ms", "-5"}, kDigit},
                    RejectedCase{{"--idle-refresh-ms", "4294967296"}, kTooLarge},
                    RejectedCase{{"--width", "4294967296"}, kTooLarge},
                    RejectedCase{{"--duration", "18446744073709551616"}, kTooLarge},
                    RejectedCase{{"--window-id", "99999999999999999999"}, kTooLarge},
                    RejectedCase{{"--display-id", "-1"}, kDigit},
                    RejectedCase{{"--content-height", "4294967296"}, kTooLarge},
                    // Whichever fault comes first in the text decides.
                    RejectedCase{{"--width", "42949672960x"}, kTooLarge},
                    RejectedCase{{"--width", "4294967x2960"}, kDigit},
                    // A bad number stops the parse before later arguments.
                    RejectedCase{{"--fps", "x", "--bogus"}, kDigit},
                    RejectedCase{{"--fps", "0", "--bogus"}, "unknown argument: --bogus"},
                    // A repeated option is converted each time it appears.
                    RejectedCase{{"--fps", "x", "--fps", "30"}, kDigit}));

INSTANTIATE_TEST_SUITE_P(
    Validation, RejectedCommandLine,
    testing::Values(RejectedCase{{"--width", "1"}, kZero},
                    RejectedCase{{"--height", "0"}, kZero},
                    RejectedCase{{"--fps", "0"}, kZero},
                    RejectedCase{{"--bitrate", "0"}, kZero},
                    RejectedCase{{"--duration", "0"}, kZero},
                    RejectedCase{{"--until-stopped", "--duration", "0"}, kZero},
                    RejectedCase{{"--display-number", "1", "--display-id", "1"},
                                 "--display-id and --display-number cannot be combined"},
                    RejectedCase{{"--fps", "30", "--fps", "0"}, kZero},
                    RejectedCase{{"--idle-refresh-ms", "0"}, "--idle-refresh-ms must be greater than zero"},
                    RejectedCase{{"--idle-refresh-ms", "0", "--fps", "0"}, kZero},
                    // Sizes are checked before the source.
                    RejectedCase{{"--source", "bogus", "--width", "1"}, kZero},
                    RejectedCase{{"--source", "Screen"}, kSource},
                    RejectedCase{{"--source", "windows"}, kSource},
                    RejectedCase{{"--source", ""}, kSource},
                    RejectedCase{{"--source", "window"}, kSource},
                    RejectedCase{{"--source", "screen", "--window-id", "1"}, kSource},
                    RejectedCase{{"--window-title", "marker"}, kSource},
                    // Both targets at once: the source message wins over the
                    // missing content size.
                    RejectedCase{{"--source", "window", "--window-title", "marker", "--window-id", "1"}, kSource},
                    RejectedCase{{"--source", "window", "--window-title", "marker", "--content-width", "1280"},
                                 kContent},
                    RejectedCase{{"--source", "window", "--window-title", "marker", "--content-width", "1",
                                  "--content-height", "720"},
                                 kContent},
                    RejectedCase{{"--source", "window", "--window-title", "marker", "--content-width", "1280",
                                  "--content-height", "1"},
                                 kContent}));

TEST(ParseArguments, ControlCellsAreFreshForEveryParse) {
  const Args args{"--source", "window", "--window-title", "m", "--content-width", "8", "--content-height", "6"};
  auto first = parse(args);
  auto second = parse(args);
  ASSERT_TRUE(first && second);
  auto& a = std::get<Config>(*first);
  auto& b = std::get<Config>(*second);
  EXPECT_NE(a.keyframe_request, b.keyframe_request);
  EXPECT_NE(a.content_size, b.content_size);
  EXPECT_NE(a.paused, b.paused);
  EXPECT_FALSE(a.keyframe_request->load());
  EXPECT_FALSE(a.paused->load());
}

// "--list-sources", "--help" and "--version" run the moment they are
// reached: what comes after is never looked at, what comes before is parsed
// (but not validated).
struct ImmediateCase {
  Args args;
  std::string ran;      // the option that ran, or "" when none did
  std::string message;  // when none ran
};

class ImmediateArgument : public testing::TestWithParam<ImmediateCase> {};

TEST_P(ImmediateArgument, RunsExactlyTheOptionReachedFirst) {
  const auto& c = GetParam();
  std::vector<std::string> ran;
  const auto recording = [&ran](std::string option) {
    return [&ran, option]() -> Result<void> {
      ran.push_back(option);
      return {};
    };
  };
  ImmediateOptions immediate{
      .list_sources = recording("--list-sources"), .help = recording("--help"), .version = recording("--version")};
  const auto outcome = parse_arguments(c.args, immediate);
  if (!c.ran.empty()) {
    ASSERT_TRUE(outcome.has_value()) << describe(c.args) << ": " << outcome.error().message;
    if (c.ran == "--list-sources") {
      EXPECT_TRUE(std::holds_alternative<Listed>(*outcome)) << describe(c.args);
    } else {
      EXPECT_TRUE(std::holds_alternative<Printed>(*outcome)) << describe(c.args);
    }
    EXPECT_EQ(ran, std::vector<std::string>{c.ran}) << describe(c.args);
  } else {
    ASSERT_FALSE(outcome.has_value()) << describe(c.args);
    EXPECT_EQ(outcome.error().message, c.message) << describe(c.args);
    EXPECT_TRUE(ran.empty()) << describe(c.args);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImmediateArgument,
    testing::Values(ImmediateCase{{"--list-sources"}, "--list-sources", ""},
                    ImmediateCase{{"--list-sources", "--bogus"}, "--list-sources", ""},
                    ImmediateCase{{"--list-sources", "--list-sources"}, "--list-sources", ""},
                    ImmediateCase{{"--list-sources", "--fps"}, "--list-sources", ""},
                    ImmediateCase{{"--fps", "0", "--list-sources"}, "--list-sources", ""},
                    ImmediateCase{{"--source", "bogus", "--window-id", "1", "--list-sources"}, "--list-sources", ""},
                    ImmediateCase{{"--bogus", "--list-sources"}, "", "unknown argument: --bogus"},
                    ImmediateCase{{"--fps", "x", "--list-sources"}, "", kDigit},
                    ImmediateCase{{"--preflight", "--list-sources"}, "", "unknown argument: --preflight"},
                    // Consumed as the title, so no listing; the title alone then
                    // fails the source check.
                    ImmediateCase{{"--window-title", "--list-sources"}, "", kSource},
                    ImmediateCase{{"--list-sources=1"}, "", "unknown argument: --list-sources=1"},
                    ImmediateCase{{"--help"}, "--help", ""},
                    ImmediateCase{{"-h", "--bogus"}, "--help", ""},
                    ImmediateCase{{"--window-title", "-h", "-h"}, "--help", ""},
                    ImmediateCase{{"--version"}, "--version", ""},
                    ImmediateCase{{"--help", "--version", "--bogus"}, "--help", ""},
                    ImmediateCase{{"--version", "--list-sources"}, "--version", ""},
                    ImmediateCase{{"--list-sources", "--help"}, "--list-sources", ""},
                    ImmediateCase{{"--fps", "0", "--help"}, "--help", ""},
                    ImmediateCase{{"--fps", "x", "--version"}, "", kDigit},
                    ImmediateCase{{"--duration", "--help"}, "", kDigit},
                    ImmediateCase{{"--window-title", "--version"}, "", kSource},
                    ImmediateCase{{"--help=1"}, "", "unknown argument: --help=1"}));

TEST(ListSourcesArgument, ListingFailureBecomesTheParseError) {
  ListSources list_sources = []() -> Result<void> { return fail("display enumeration failed"); };
  const auto outcome = parse_arguments(Args{"--width", "640", "--list-sources", "--fps", "30"}, list_sources);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().message, "display enumeration failed");
}

// "--pacing": the default keeps the strict rule; a bad word is rejected the
// moment it is met, like a bad number.
struct PacingCase {
  Args args;
  std::variant<sender::PacingRule, std::string> expected;  // the rule, or the error message
};

class PacingOption : public testing::TestWithParam<PacingCase> {};

TEST_P(PacingOption, ChoosesTheRuleOrRejectsTheWord) {
  const auto& c = GetParam();
  const auto outcome = parse(c.args);
  if (const auto* message = std::get_if<std::string>(&c.expected)) {
    ASSERT_FALSE(outcome.has_value()) << describe(c.args);
    EXPECT_EQ(outcome.error().message, *message) << describe(c.args);
    return;
  }
  ASSERT_TRUE(outcome.has_value()) << describe(c.args) << ": " << outcome.error().message;
  EXPECT_EQ(std::get<Config>(*outcome).pacing, std::get<sender::PacingRule>(c.expected)) << describe(c.args);
}

constexpr const char* kPacing = "--pacing must be strict or grid";

INSTANTIATE_TEST_SUITE_P(
    Cases, PacingOption,
    testing::Values(PacingCase{{}, sender::PacingRule::Strict},
                    PacingCase{{"--pacing", "strict"}, sender::PacingRule::Strict},
                    PacingCase{{"--pacing", "grid", "--fps", "60"}, sender::PacingRule::Grid},
                    PacingCase{{"--pacing", "grid", "--pacing", "strict"}, sender::PacingRule::Strict},
                    PacingCase{{"--pacing", "Grid"}, std::string(kPacing)},
                    PacingCase{{"--pacing", ""}, std::string(kPacing)},
                    PacingCase{{"--pacing"}, std::string("--pacing requires a value")},
                    PacingCase{{"--pacing", "fast", "--fps", "x"}, std::string(kPacing)},
                    PacingCase{{"--fps", "x", "--pacing", "fast"}, std::string(kDigit)},
                    PacingCase{{"--pacing", "grid", "--fps", "0"}, std::string(kZero)}));


// Every option of the table is one the parser knows, taking a value or not
// as the table says.
TEST(OptionTable, EveryOptionIsParsedAsItsRowSays) {
  for (const OptionRow& row : option_rows) {
    for (const Option& option : row.options) {
      if (option.name.empty()) {
        continue;
      }
      const std::string name(option.name);
      const auto alone = parse({name});
      if (takes_value(option)) {
        ASSERT_FALSE(alone.has_value()) << name;
        EXPECT_EQ(alone.error().message, name + " requires a value");
      } else {
        EXPECT_TRUE(alone.has_value()) << name << ": " << alone.error().message;
      }
    }
  }
}

// The Default column shows the defaults it is given, so the usage follows
// Config's defaults; a default that is no value of a field keeps its text.
TEST(OptionTable, DefaultColumnFollowsTheDefaults) {
  CommandLine changed;
  changed.source = "window";
  changed.content_width = 7;
  changed.config.width = 1280;
  changed.config.height = 720;
  changed.config.fps = 25;
  changed.config.bitrate = 4'000'000;
  changed.config.duration = 90s;
  changed.config.pacing = sender::PacingRule::Grid;
  changed.config.display_id = 3;
  changed.config.rate_buffer_ms = 100;
  changed.config.keyframe_interval = 10;
  changed.config.idle_refresh = 500ms;
  changed.config.quiet = true;

  const Config fresh;
  struct Case {
    std::string names;
    std::string fresh_cell;
    std::string changed_cell;
  };
  const std::vector<Case> cases = {
      {"--source", "screen", "window"},
      {"--display-id", "primary display", "primary display"},
      {"--display-number", "", ""},
      {"--content-width, --content-height", "0", "7"},
      {"--width, --height", std::to_string(fresh.width) + " × " + std::to_string(fresh.height), "1280 × 720"},
      {"--fps", std::to_string(fresh.fps), "25"},
      {"--bitrate", std::to_string(fresh.bitrate), "4000000"},
      {"--duration", std::to_string(std::chrono::duration_cast<std::chrono::seconds>(fresh.duration).count()), "90"},
      {"--pacing", fresh.pacing == sender::PacingRule::Strict ? "strict" : "grid", "grid"},
      {"--rate-buffer-ms", "the encoder's own", "the encoder's own"},
      {"--keyframe-interval", "one second of frames", "one second of frames"},
      {"--idle-refresh-ms", "off", "off"},
      {"--quiet", "", ""},
  };
  const auto find = [](const std::vector<UsageOption>& rows, const std::string& names) {
    const auto found = std::ranges::find(rows, names, &UsageOption::names);
    return found == rows.end() ? std::string("<no row>") : found->default_value;
  };
  const auto fresh_rows = usage_options();
  const auto changed_rows = usage_options(changed);
  for (const Case& c : cases) {
    EXPECT_EQ(find(fresh_rows, c.names), c.fresh_cell) << c.names;
    EXPECT_EQ(find(changed_rows, c.names), c.changed_cell) << c.names;
  }
}

// The layout of an option in "--help": names, then the value and the
// default on an indented line; a flag says it takes no value.
TEST(OptionTable, UsagePrintsEachRowOnTwoLines) {
  const Config fresh;
  const std::string text = usage_text();
  for (const std::string& expected :
       {"\n  --width, --height\n      output size (≥ 2, rounded down to even) (default: " +
            std::to_string(fresh.width) + " × " + std::to_string(fresh.height) + ")\n",
        std::string("\n  --display-number\n      the display whose listing id (the number in its device name) is "
                    "this\n"),
        std::string("\n  --quiet\n      (no value) leave out the per-frame encode_latency_ms lines\n")}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nnot in:\n" << text;
  }
}

}  // namespace
}  // namespace quorvex::app
