// Statistics of a record stream per second of its timestamps and in total:
// records, frames per second, bit rate, keyframes, the largest record, and
// (when the frame-clock strip was read) the frame-clock latency: how long
// before its record's capture time each picture was composed. As text lines
// for people and as one JSON document for machines (and for qvrx plot).
//
// Seconds count from the first record's timestamp, on the time line of
// timeline.h: the stream ends one typical frame interval after its last
// record, every second up to there is listed (a pause shows as seconds
// without records), and the last one is only as long as what is left.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "testing/frame_clock.h"

namespace quorvex::tools {

struct RecordSample {
  std::uint64_t timestamp_ns = 0;
  std::uint64_t size_bytes = 0;
  bool keyframe = false;
  // Only with the frame clock read: nullopt for an unreadable strip.
  std::optional<std::int64_t> latency_ms;
};

// The record's capture time less the time its picture's strip carries, from
// the low 32 bits of both millisecond counts (the strip's range), so the
// result is right across a wrap of those bits; negative when the strip
// claims a later time.
[[nodiscard]] std::int64_t frame_clock_latency_ms(std::uint64_t timestamp_ns, testing::FrameClockStamp stamp);

struct PeriodStats {
  double length_s = 0;
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;
  std::uint64_t keyframes = 0;
  std::uint64_t largest_bytes = 0;
  // Nearest-rank percentiles of the readable latencies (none when no strip
  // of the period was readable), and how many strips were not.
  std::optional<std::int64_t> latency_p50_ms;
  std::optional<std::int64_t> latency_p95_ms;
  std::uint64_t clock_unreadable = 0;

  // 0 for a period of no length.
  [[nodiscard]] double frames_per_second() const;
  [[nodiscard]] double bits_per_second() const;
};

struct StreamStats {
  // Whether the samples carry frame-clock latencies at all.
  bool clock = false;
  std::vector<PeriodStats> seconds;
  PeriodStats total;
  // Each record's place on the time line, seconds after the first record.
  std::vector<double> record_times_s;
};

// A week of seconds: far more than any session, and few enough to list. A
// stream that spans more has a timestamp that is wrong (a corrupted record,
// a clock set years off), and one line per second of it would not fit in
// memory.
inline constexpr std::uint64_t max_stats_seconds = 7 * 24 * 3600;

// Fails, saying why, for a stream that spans more than max_stats_seconds.
[[nodiscard]] std::expected<StreamStats, std::string> stream_stats(std::span<const RecordSample> records,
                                                                   bool clock);

// One "second=…" line per second and a "total …" line, each ending in "\n".
[[nodiscard]] std::string format_stats_text(const StreamStats& stats);

// {"seconds":[…],"total":{…},"records":[…]} and "\n"; latency fields only
// when the clock was read, null where no strip was readable.
[[nodiscard]] std::string format_stats_json(const StreamStats& stats, std::span<const RecordSample> records);

}  // namespace quorvex::tools
