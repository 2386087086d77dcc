// The logic behind qvrx stats, plot and mux: where records lie in time, what
// each second adds up to, and the options that choose it.
#include <gtest/gtest.h>

#include <limits>

#include "qvrx/capture_log.h"
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
  RecordSample record;
  record.timestamp_ns = t0 + offset_ms * ms;
  record.size_bytes = size;
  record.keyframe = keyframe;
  record.latency_ms = latency;
  return record;
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
      sample(0, 1), sample(1, 1), {std::numeric_limits<std::uint64_t>::max(), 1, false, std::nullopt, 0, std::nullopt}};
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
            "second=0 records=2 fps=2.00 bitrate_bps=32000 keyframes=1 largest_bytes=3000 filler_bytes=0 "
            "filler_share=0.000 latency_p50_ms=5 latency_p95_ms=5 clock_unreadable=1\n"
            "second=1 records=1 fps=2.00 bitrate_bps=32000 keyframes=0 largest_bytes=2000 filler_bytes=0 "
            "filler_share=0.000 latency_p50_ms=7 latency_p95_ms=7 clock_unreadable=0\n"
            "total duration_s=1.500 records=3 fps=2.00 bitrate_bps=32000 keyframes=1 largest_bytes=3000 "
            "filler_bytes=0 filler_share=0.000 latency_p50_ms=5 latency_p95_ms=7 clock_unreadable=1\n");
  EXPECT_EQ(format_stats_json(stream_stats(std::span(records).first(2), true).value(), std::span(records).first(2)),
            "{\"seconds\":[{\"second\":0,\"length_s\":1.000,\"records\":2,\"fps\":2.00,\"bitrate_bps\":32000,"
            "\"keyframes\":1,\"largest_bytes\":3000,\"filler_bytes\":0,\"filler_share\":0.000,\"latency_p50_ms\":5,"
            "\"latency_p95_ms\":5,\"clock_unreadable\":1}],"
            "\"total\":{\"duration_s\":1.000,\"records\":2,\"fps\":2.00,\"bitrate_bps\":32000,\"keyframes\":1,"
            "\"largest_bytes\":3000,\"filler_bytes\":0,\"filler_share\":0.000,\"latency_p50_ms\":5,"
            "\"latency_p95_ms\":5,\"clock_unreadable\":1,\"first_timestamp_ns\":1700000000000000000,"
            "\"last_timestamp_ns\":1700000000500000000},"
            "\"records\":[{\"time_s\":0.000000,\"size_bytes\":3000,\"keyframe\":true,\"latency_ms\":5},"
            "{\"time_s\":0.500000,\"size_bytes\":1000,\"keyframe\":false,\"latency_ms\":null}],"
            "\"keyframe_indexes\":[0],\"gaps\":[]}\n");
  // Without the clock there are no latency fields at all.
  const std::string without_clock = format_stats_json(stream_stats(records, false).value(), records);
  EXPECT_EQ(without_clock.find("latency"), std::string::npos) << without_clock;
  EXPECT_EQ(without_clock.find("clock"), std::string::npos) << without_clock;
}

// Records through a link of 8000 bit/s: 1000 bytes take one second each.
TEST(LinkDelayTest, RecordsQueueBehindEachOtherFirstInFirstOut) {
  const struct {
    const char* what;
    std::vector<RecordSample> records;
    std::vector<double> delays_ms;
    double p50, p95, p99, max;
  } cases[] = {
      {"one record", {sample(0, 1000)}, {1000}, 1000, 1000, 1000, 1000},
      // The second waits half a second for the first; the third finds the
      // link free again.
      {"a burst and an idle link",
       {sample(0, 1000), sample(500, 1000), sample(2000, 1000)},
       {1000, 1500, 1000},
       1000, 1500, 1500, 1500},
      // A large keyframe delays every record behind it.
      {"a keyframe ahead",
       {sample(0, 4000, true), sample(1000, 500), sample(2000, 500), sample(3000, 500), sample(6000, 500)},
       {4000, 3500, 3000, 2500, 500},
       3000, 4000, 4000, 4000},
      // A clock stepped back: the record enters right after the one before.
      {"a timestamp going back", {sample(1000, 1000), sample(400, 1000)}, {1000, 2000}, 1000, 2000, 2000, 2000},
  };
  for (const auto& c : cases) {
    const StreamStats stats = stream_stats(c.records, false, 8000).value();
    ASSERT_TRUE(stats.link) << c.what;
    EXPECT_EQ(stats.link->rate_bps, 8000u) << c.what;
    ASSERT_EQ(stats.link->record_delays_ms.size(), c.delays_ms.size()) << c.what;
    for (std::size_t i = 0; i < c.delays_ms.size(); ++i) {
      EXPECT_NEAR(stats.link->record_delays_ms[i], c.delays_ms[i], 1e-6) << c.what << " record " << i;
    }
    EXPECT_NEAR(stats.link->p50_ms, c.p50, 1e-6) << c.what;
    EXPECT_NEAR(stats.link->p95_ms, c.p95, 1e-6) << c.what;
    EXPECT_NEAR(stats.link->p99_ms, c.p99, 1e-6) << c.what;
    EXPECT_NEAR(stats.link->max_ms, c.max, 1e-6) << c.what;
  }
  const std::vector<RecordSample> one = {sample(0, 1000)};
  EXPECT_FALSE(stream_stats(one, false).value().link) << "no rate, no link";
}

TEST(StreamStatsTest, LinkFillerKeyframesAndGapsInTextAndJson) {
  std::vector<RecordSample> records = {sample(0, 2000, true), sample(100, 1000), sample(200, 1000),
                                       sample(1200, 1000, true)};
  records[1].filler_bytes = 500;
  records[2].filler_bytes = 1000;
  const StreamStats stats = stream_stats(records, false, 80'000).value();
  EXPECT_EQ(stats.total.filler_bytes, 1500u);
  EXPECT_DOUBLE_EQ(stats.total.filler_share(), 0.3);
  EXPECT_EQ(stats.keyframe_indexes, (std::vector<std::size_t>{0, 3}));
  // 1 s without records against a typical 100 ms: a gap.
  ASSERT_EQ(stats.gaps.size(), 1u);
  EXPECT_DOUBLE_EQ(stats.gaps[0].start_s, 0.2);
  EXPECT_DOUBLE_EQ(stats.gaps[0].end_s, 1.2);

  const std::string text = format_stats_text(stats);
  const std::string total = text.substr(text.find("total "));
  EXPECT_NE(total.find(" filler_bytes=1500 filler_share=0.300 "), std::string::npos) << total;
  // 2000 bytes at 10 kB/s: 200 ms, and the next two wait behind it.
  EXPECT_TRUE(total.ends_with(" link_rate_bps=80000 link_delay_p50_ms=200.000 link_delay_p95_ms=200.000 "
                              "link_delay_p99_ms=200.000 link_delay_max_ms=200.000\n"))
      << total;
  const std::string json = format_stats_json(stats, records);
  for (const char* part :
       {"\"link_rate_bps\":80000,\"link_delay_p50_ms\":200.000,", "\"link_delay_max_ms\":200.000}",
        "\"first_timestamp_ns\":1700000000000000000,\"last_timestamp_ns\":1700000001200000000",
        "\"keyframe_indexes\":[0,3]", "\"gaps\":[{\"start_s\":0.200000,\"end_s\":1.200000}]",
        "{\"time_s\":0.100000,\"size_bytes\":1000,\"keyframe\":false,\"link_delay_ms\":200.000}"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
  }
  EXPECT_EQ(json.find("mailbox_wait"), std::string::npos);
  EXPECT_EQ(json.find("target_bitrate_bps"), std::string::npos);
}

TEST(CaptureLogTest, LinesUpPerFrameLatenciesAndWindowsWithTheRecords) {
  std::string text = "capture_encoder\nencoder_setting name=x value=1\r\n";
  for (int i = 0; i < 61; ++i) {
    text += "encode_latency_ms=" + std::to_string(i % 7) + "\n";
    if (i % 30 == 29) {
      text += "encoder_latency p50_ms=3 p95_ms=6 in_flight_max=1\n"
              "latency_breakdown mailbox_wait_p50_ms=" + std::to_string(i / 30 + 1) +
              " mailbox_wait_p95_ms=9 mft_p50_ms=2 mft_p95_ms=4\n";
    }
  }
  text += "encode_latency_ms=x\nnative_encoder_summary captured_frames=61";
  const CaptureLog log = parse_capture_log(text);
  ASSERT_EQ(log.encode_latencies_ms.size(), 61u);
  EXPECT_EQ(log.encode_latencies_ms[8], 1);
  ASSERT_EQ(log.mailbox_waits.size(), 2u);
  EXPECT_EQ(log.mailbox_waits[0].record_index, 29u);
  EXPECT_EQ(log.mailbox_waits[0].p50_ms, 1);
  EXPECT_EQ(log.mailbox_waits[1].record_index, 59u);
  EXPECT_EQ(log.mailbox_waits[1].p50_ms, 2);
  EXPECT_EQ(log.mailbox_waits[1].p95_ms, 9);
  // Quiet sessions have no per-frame lines; the windows still line up.
  const CaptureLog quiet = parse_capture_log(
      "latency_breakdown mailbox_wait_p50_ms=0 mailbox_wait_p95_ms=1 mft_p50_ms=2 mft_p95_ms=4\n"
      "latency_breakdown mailbox_wait_p50_ms=5 mailbox_wait_p95_ms=6 mft_p50_ms=2 mft_p95_ms=4\n");
  EXPECT_TRUE(quiet.encode_latencies_ms.empty());
  ASSERT_EQ(quiet.mailbox_waits.size(), 2u);
  EXPECT_EQ(quiet.mailbox_waits[1].record_index, 59u);
  EXPECT_EQ(quiet.mailbox_waits[1].p95_ms, 6);
}

TEST(CommandOptionsTest, EachCommandTakesItsOwnOptions) {
  const OptionRules list{};
  const OptionRules stats{.json = true, .link_rate = true};
  const OptionRules plot{.clock_always = true, .link_rate = true, .plot = true};
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
      {"link rate", stats, {"--link-rate", "4000000", "--json"}, true, true, false},
      {"link rate of 0", stats, {"--link-rate", "0"}, false, false, false},
      {"link rate with a unit", stats, {"--link-rate", "4M"}, false, false, false},
      {"link rate without value", stats, {"--link-rate"}, false, false, false},
      {"link rate is no list option", list, {"--link-rate", "1000"}, false, false, false},
      {"target and log are plot options", plot, {"--target-bitrate", "8000000", "--log", "x.log"}, true, false, true},
      {"target is no stats option", stats, {"--target-bitrate", "8000000"}, false, false, false},
      {"log is no stats option", stats, {"--log", "x.log"}, false, false, false},
      {"negative target", plot, {"--target-bitrate", "-1"}, false, false, false},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_command_options(c.options, c.rules);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.what;
    if (parsed) {
      EXPECT_EQ(parsed->json, c.json) << c.what;
      EXPECT_EQ(parsed->clock.has_value(), c.clock) << c.what;
    }
  }
  const auto extras = parse_command_options(
      std::vector<std::string>{"--link-rate", "2500000", "--target-bitrate", "8000000", "--log", "c.log"}, plot);
  ASSERT_TRUE(extras);
  EXPECT_EQ(extras->link_rate_bps, 2'500'000u);
  EXPECT_EQ(extras->target_bitrate_bps, 8'000'000u);
  EXPECT_EQ(extras->log_path, "c.log");
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
