// The logic behind qvrx stats, plot and mux: where records lie in time, what
// each second adds up to, and the options that choose it.
#include <gtest/gtest.h>

#include <limits>

#include "qvrx/mux.h"
#include "qvrx/options.h"
#include "qvrx/stream_stats.h"
#include "qvrx/timeline.h"

namespace quorvex::tools {
namespace {

constexpr std::uint64_t t0 = 1'700'000'000'000'000'000ull;
constexpr std::uint64_t ms = 1'000'000;

TEST(TypicalIntervalTest, IsTheLowerMedianSoAPauseDoesNotMoveIt) {
  const struct {
    std::vector<std::uint64_t> intervals;
    std::uint64_t typical;
  } cases[] = {
      {{}, 0},
      {{33}, 33},
      {{40, 30}, 30},
      {{33, 34, 1500, 33, 33}, 33},
      {{1500, 1500, 33}, 1500},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(typical_interval_ns(c.intervals), c.typical) << ::testing::PrintToString(c.intervals);
  }
}

// Ticks must match the records' own timestamps (that is what a player shows
// and what ffprobe reads back), stay strictly increasing when the wall clock
// steps back or two records fall into one tick, and the last record must
// last one typical interval, not the pause before it.
TEST(PacketClockTest, PlacesRecordsOnTheContainersTicks) {
  const struct {
    const char* what;
    std::int64_t numerator;
    std::int64_t denominator;
    std::vector<std::uint64_t> timestamps;
    std::vector<std::int64_t> ticks;
    std::int64_t last_duration;
    std::uint64_t moved;
  } cases[] = {
      {"90 kHz at 30 fps", 1, 90000, {t0, t0 + 33'333'333, t0 + 66'666'667}, {0, 3000, 6000}, 3000, 0},
      {"a pause stays a gap", 1, 1000, {t0, t0 + 33 * ms, t0 + 1'533 * ms, t0 + 1'566 * ms}, {0, 33, 1533, 1566}, 33, 0},
      {"rounds to the nearest tick", 1, 1000, {t0, t0 + 1'499'999, t0 + 2'500'000}, {0, 1, 3}, 1, 0},
      {"wall clock stepped back", 1, 1000, {t0, t0 + 40 * ms, t0 + 20 * ms, t0 + 60 * ms}, {0, 40, 41, 60}, 20, 1},
      {"two records in one tick", 1, 1000, {t0, t0 + 100'000, t0 + 200'000}, {0, 1, 2}, 1, 2},
      {"an NTSC time base", 1001, 30000, {t0, t0 + 33'366'667, t0 + 66'733'333}, {0, 1, 2}, 1, 0},
      {"one record lasts one tick", 1, 90000, {t0}, {0}, 1, 0},
      {"a day in nanoseconds", 1, 90000, {t0, t0 + 86'400'000'000'000ull}, {0, 7'776'000'000}, 7'776'000'000, 0},
  };
  for (const auto& c : cases) {
    PacketClock clock(c.numerator, c.denominator);
    std::vector<std::int64_t> ticks;
    for (const std::uint64_t timestamp : c.timestamps) {
      ticks.push_back(clock.place(timestamp));
    }
    EXPECT_EQ(ticks, c.ticks) << c.what;
    EXPECT_EQ(clock.last_duration(), c.last_duration) << c.what;
    EXPECT_EQ(clock.moved_records(), c.moved) << c.what;
  }
}

TEST(PacketClockTest, AHostileTimeBaseNeitherOverflowsNorStalls) {
  const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
  for (const auto& [numerator, denominator] : {std::pair<std::int64_t, std::int64_t>{0, 0}, {-5, 1000}, {1, huge},
                                              {huge, 1}, {huge, huge}}) {
    PacketClock clock(numerator, denominator);
    std::int64_t previous = clock.place(t0);
    for (std::uint64_t i = 1; i < 5; ++i) {
      const std::int64_t tick = clock.place(t0 + i * 3'600'000'000'000ull);
      EXPECT_GT(tick, previous) << numerator << "/" << denominator;
      previous = tick;
    }
    EXPECT_GE(clock.last_duration(), 1);
  }
}

TEST(FrameClockLatencyTest, UsesTheLow32BitsOfBothClocks) {
  const struct {
    std::uint64_t timestamp_ns;
    std::uint32_t strip_ms;
    std::int64_t latency_ms;
  } cases[] = {
      {1'700'000'000'123'456'789ull, static_cast<std::uint32_t>(1'700'000'000'120ull), 3},
      {0x1'0000'0002ull * ms, 0xFFFF'FFFEu, 4},  // the low 32 bits wrapped in between
      {5'000 * ms + 999'999, 5'000, 0},          // within the same millisecond
      {5'000 * ms, 5'010, -10},                  // a strip from a later clock
  };
  for (const auto& c : cases) {
    EXPECT_EQ(frame_clock_latency_ms(c.timestamp_ns, {7, c.strip_ms}), c.latency_ms) << c.timestamp_ns;
  }
}

RecordSample sample(std::uint64_t offset_ms, std::uint64_t size, bool keyframe = false,
                    std::optional<std::int64_t> latency = std::nullopt) {
  return {.timestamp_ns = t0 + offset_ms * ms, .size_bytes = size, .keyframe = keyframe, .latency_ms = latency};
}

// 100 ms apart for 1.2 s, a paused second, then 0.3 s more: every second is
// listed, the paused one empty, and the last one is only as long as what is
// left of the stream (its last record plus one typical interval).
TEST(StreamStatsTest, SecondsFollowTheTimestampsThroughAPause) {
  std::vector<RecordSample> records;
  for (std::uint64_t at = 0; at <= 1200; at += 100) {
    records.push_back(sample(at, 1000, at % 1000 == 0));
  }
  for (std::uint64_t at = 2500; at <= 2800; at += 100) {
    records.push_back(sample(at, at == 2500 ? 5000 : 1000, at == 2500));
  }
  const StreamStats stats = stream_stats(records, false).value();
  ASSERT_EQ(stats.seconds.size(), 3u);
  const struct {
    std::uint64_t records, bytes, keyframes, largest;
    double length_s, fps;
  } expected[] = {
      {10, 10'000, 1, 1000, 1.0, 10.0},
      {3, 3'000, 1, 1000, 1.0, 3.0},
      {4, 8'000, 1, 5000, 0.9, 4 / 0.9},
  };
  for (std::size_t k = 0; k < 3; ++k) {
    const PeriodStats& second = stats.seconds[k];
    EXPECT_EQ(second.records, expected[k].records) << k;
    EXPECT_EQ(second.bytes, expected[k].bytes) << k;
    EXPECT_EQ(second.keyframes, expected[k].keyframes) << k;
    EXPECT_EQ(second.largest_bytes, expected[k].largest) << k;
    EXPECT_NEAR(second.length_s, expected[k].length_s, 1e-9) << k;
    EXPECT_NEAR(second.frames_per_second(), expected[k].fps, 1e-9) << k;
    EXPECT_NEAR(second.bits_per_second(), expected[k].bytes * 8 / expected[k].length_s, 1e-6) << k;
  }
  EXPECT_EQ(stats.total.records, 17u);
  EXPECT_NEAR(stats.total.length_s, 2.9, 1e-9);
  EXPECT_EQ(stats.total.largest_bytes, 5000u);
  EXPECT_EQ(stats.total.keyframes, 3u);
  EXPECT_DOUBLE_EQ(stats.record_times_s[13], 2.5);
}

TEST(StreamStatsTest, DegenerateStreamsGiveZeroRatesNotNonsense) {
  const StreamStats empty = stream_stats({}, true).value();
  EXPECT_TRUE(empty.seconds.empty());
  EXPECT_EQ(empty.total.records, 0u);
  EXPECT_EQ(empty.total.frames_per_second(), 0);

  const std::vector<RecordSample> one = {sample(0, 500, true)};
  const StreamStats single = stream_stats(one, false).value();
  ASSERT_EQ(single.seconds.size(), 1u);
  EXPECT_EQ(single.seconds[0].records, 1u);
  EXPECT_EQ(single.total.length_s, 0);
  EXPECT_EQ(single.total.bits_per_second(), 0);

  // A wall clock that stepped back keeps the record in order, in the second
  // of the one before it, instead of underflowing into a far-away second.
  const std::vector<RecordSample> stepped_back = {sample(0, 1), sample(900, 1), sample(100, 1), sample(1000, 1)};
  const StreamStats stepped = stream_stats(stepped_back, false).value();
  ASSERT_EQ(stepped.seconds.size(), 2u);
  EXPECT_EQ(stepped.seconds[0].records, 3u);
  EXPECT_EQ(stepped.record_times_s[2], 0.9);
}

// A corrupted timestamp must give an error, not one line per second of the
// years it claims (which would not fit in memory).
TEST(StreamStatsTest, AStreamSpanningMoreThanAWeekIsRefused) {
  const std::uint64_t week_ms = max_stats_seconds * 1000;
  // The stream ends one typical interval (1 ms) after its last record.
  const std::vector<RecordSample> within = {sample(0, 1), sample(1, 1), sample(week_ms - 1, 1)};
  const auto week = stream_stats(within, false);
  ASSERT_TRUE(week.has_value());
  EXPECT_EQ(week->seconds.size(), max_stats_seconds);
  const std::vector<RecordSample> beyond = {sample(0, 1), sample(1, 1), sample(week_ms, 1)};
  EXPECT_FALSE(stream_stats(beyond, false).has_value());
  // Ends past the week only by its last record's interval.
  const std::vector<RecordSample> last_interval = {sample(0, 1), sample(week_ms - 1, 1)};
  EXPECT_FALSE(stream_stats(last_interval, false).has_value());
  const std::vector<RecordSample> corrupted = {
      sample(0, 1), sample(1, 1), {std::numeric_limits<std::uint64_t>::max(), 1, false, std::nullopt}};
  const auto refused = stream_stats(corrupted, true);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().find("a timestamp must be wrong"), std::string::npos) << refused.error();
}

TEST(StreamStatsTest, LatencyPercentilesAreNearestRankOverReadableStrips) {
  std::vector<RecordSample> records;
  for (std::int64_t i = 0; i < 20; ++i) {
    records.push_back(sample(static_cast<std::uint64_t>(i) * 50, 100, false, 20 - i));
  }
  records.push_back(sample(1000, 100));  // unreadable strip
  records.push_back(sample(1050, 100, false, -3));
  const StreamStats stats = stream_stats(records, true).value();
  ASSERT_EQ(stats.seconds.size(), 2u);
  EXPECT_EQ(stats.seconds[0].latency_p50_ms, 10);  // 10th of 1..20
  EXPECT_EQ(stats.seconds[0].latency_p95_ms, 19);  // 19th of 1..20
  EXPECT_EQ(stats.seconds[0].clock_unreadable, 0u);
  EXPECT_EQ(stats.seconds[1].latency_p50_ms, -3);
  EXPECT_EQ(stats.seconds[1].clock_unreadable, 1u);
  EXPECT_EQ(stats.total.latency_p50_ms, 10);
  EXPECT_EQ(stats.total.clock_unreadable, 1u);

  records[0].latency_ms.reset();
  const StreamStats no_strip = stream_stats(std::span(records).first(1), true).value();
  EXPECT_FALSE(no_strip.total.latency_p50_ms.has_value());
}

TEST(StreamStatsTest, TextAndJsonSayTheSameAndMarkWhatIsMissing) {
  const std::vector<RecordSample> records = {sample(0, 3000, true, 5), sample(500, 1000, false, std::nullopt),
                                             sample(1000, 2000, false, 7)};
  EXPECT_EQ(format_stats_text(stream_stats(records, true).value()),
            "second=0 records=2 fps=2.00 bitrate_bps=32000 keyframes=1 largest_bytes=3000 latency_p50_ms=5 "
            "latency_p95_ms=5 clock_unreadable=1\n"
            "second=1 records=1 fps=2.00 bitrate_bps=32000 keyframes=0 largest_bytes=2000 latency_p50_ms=7 "
            "latency_p95_ms=7 clock_unreadable=0\n"
            "total duration_s=1.500 records=3 fps=2.00 bitrate_bps=32000 keyframes=1 largest_bytes=3000 "
            "latency_p50_ms=5 latency_p95_ms=7 clock_unreadable=1\n");
  EXPECT_EQ(format_stats_json(stream_stats(std::span(records).first(2), true).value(), std::span(records).first(2)),
            "{\"seconds\":[{\"second\":0,\"length_s\":1.000,\"records\":2,\"fps\":2.00,\"bitrate_bps\":32000,"
            "\"keyframes\":1,\"largest_bytes\":3000,\"latency_p50_ms\":5,\"latency_p95_ms\":5,\"clock_unreadable\":1}],"
            "\"total\":{\"duration_s\":1.000,\"records\":2,\"fps\":2.00,\"bitrate_bps\":32000,\"keyframes\":1,"
            "\"largest_bytes\":3000,\"latency_p50_ms\":5,\"latency_p95_ms\":5,\"clock_unreadable\":1},"
            "\"records\":[{\"time_s\":0.000000,\"size_bytes\":3000,\"keyframe\":true,\"latency_ms\":5},"
            "{\"time_s\":0.500000,\"size_bytes\":1000,\"keyframe\":false,\"latency_ms\":null}]}\n");
  // Without the clock there are no latency fields at all.
  const std::string without_clock = format_stats_json(stream_stats(records, false).value(), records);
  EXPECT_EQ(without_clock.find("latency"), std::string::npos) << without_clock;
  EXPECT_EQ(without_clock.find("clock"), std::string::npos) << without_clock;
}

TEST(CommandOptionsTest, EachCommandTakesItsOwnOptions) {
  const OptionRules list{};
  const OptionRules stats{.json = true};
  const OptionRules plot{.clock_always = true};
  const struct {
    const char* what;
    OptionRules rules;
    std::vector<std::string> options;
    bool valid;
    bool json;
    bool clock;
  } cases[] = {
      {"nothing", list, {}, true, false, false},
      {"clock", list, {"--clock"}, true, false, true},
      {"json is not a list option", list, {"--json"}, false, false, false},
      {"json and clock", stats, {"--json", "--clock", "--strip", "0,0,0.5,0.5"}, true, true, true},
      {"size without clock", stats, {"--size", "640x360"}, false, false, false},
      {"plot reads the clock without being asked", plot, {}, true, false, true},
      {"plot takes a size without --clock", plot, {"--size", "640x360"}, true, false, true},
      {"plot takes no json", plot, {"--json"}, false, false, false},
      {"size without height", plot, {"--size", "640"}, false, false, false},
      {"size with trailing text", plot, {"--size", "640x360x2"}, false, false, false},
      {"empty picture", plot, {"--size", "0x360"}, false, false, false},
      {"negative size", plot, {"--size", "-640x360"}, false, false, false},
      {"too large", plot, {"--size", "16385x360"}, false, false, false},
      {"three strip values", plot, {"--strip", "0,0,1"}, false, false, false},
      {"zero scale", plot, {"--strip", "0,0,0,1"}, false, false, false},
      {"missing value", plot, {"--strip"}, false, false, false},
      {"unknown option", stats, {"--frobnicate"}, false, false, false},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_command_options(c.options, c.rules);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.what;
    if (parsed) {
      EXPECT_EQ(parsed->json, c.json) << c.what;
      EXPECT_EQ(parsed->clock.has_value(), c.clock) << c.what;
    }
  }
  const auto placed = parse_command_options(std::vector<std::string>{"--size", "640x360", "--strip", "285,0.5,1.05,2"},
                                            plot);
  ASSERT_TRUE(placed && placed->clock);
  EXPECT_EQ(placed->clock->width, 640);
  EXPECT_EQ(placed->clock->height, 360);
  EXPECT_EQ(placed->clock->placement.left, 285);
  EXPECT_EQ(placed->clock->placement.top, 0.5);
  EXPECT_EQ(placed->clock->placement.scale_x, 1.05);
  EXPECT_EQ(placed->clock->placement.scale_y, 2);
}

TEST(ContainerForPathTest, TheExtensionChoosesTheContainer) {
  const struct {
    const char* path;
    std::optional<Container> container;
  } cases[] = {
      {"capture.mp4", Container::mp4},  {"out/CAPTURE.MKV", Container::matroska},
      {"a.b/capture.mkv", Container::matroska}, {"a.mp4/capture", std::nullopt},
      {"capture.avi", std::nullopt},    {"capture", std::nullopt},
      {"-", Container::matroska},       {"capture.mp4.part", std::nullopt},
      {"./-", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(container_for_path(c.path), c.container) << c.path;
  }
}

}  // namespace
}  // namespace quorvex::tools
