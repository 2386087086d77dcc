// Statistics of a record stream per second of its timestamps and in total:
// records, frames per second, bit rate, keyframes, the largest record, the
// share of filler data, and (when the frame-clock strip was read) the
// frame-clock latency: how long before its record's capture time each
// picture was composed. On request, the link delay: how long each record
// takes through a network link of a given rate. As text lines for people
// and as one JSON document for machines (and for qvrx plot).
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
  // The bytes of its filler NAL units (type 12), start codes included:
  // what --drop-filler would have left out.
  std::uint64_t filler_bytes = 0;
  // From the capture log, when one was read: nullopt where it has no line.
  std::optional<std::int64_t> encode_latency_ms;
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
  std::uint64_t filler_bytes = 0;
  // Nearest-rank percentiles of the readable latencies (none when no strip
  // of the period was readable), and how many strips were not.
  std::optional<std::int64_t> latency_p50_ms;
  std::optional<std::int64_t> latency_p95_ms;
  std::uint64_t clock_unreadable = 0;

  // 0 for a period of no length.
  [[nodiscard]] double frames_per_second() const;
  [[nodiscard]] double bits_per_second() const;
  // Filler bytes ÷ bytes; 0 without bytes.
  [[nodiscard]] double filler_share() const;
};

// A first-in-first-out link of a fixed rate: each record enters it whole at
// its capture time (its place on the time line) and leaves when its last
// byte has been sent, after every record before it. The delay is the time
// from entering to leaving. Payload bytes only: the record's header is the
// parent's to re-frame.
struct LinkDelay {
  std::uint64_t rate_bps = 0;
  // Nearest-rank percentiles and the largest, in milliseconds.
  double p50_ms = 0;
  double p95_ms = 0;
  double p99_ms = 0;
  double max_ms = 0;
  // Each record's delay, in stream order.
  std::vector<double> record_delays_ms;
};

// A stretch of the time line without records, much longer than the frame
// interval: a pause, or a still screen that delivered nothing.
struct RecordGap {
  double start_s = 0;
  double end_s = 0;
};

// What the capture's standard error says beside the records: every
// `latency_breakdown` line's mailbox wait, placed at the record whose
// output printed it.
struct MailboxWait {
  std::size_t record_index = 0;
  std::int64_t p50_ms = 0;
  std::int64_t p95_ms = 0;
};

struct StreamStats {
  // Whether the samples carry frame-clock latencies at all.
  bool clock = false;
  std::vector<PeriodStats> seconds;
  PeriodStats total;
  // Each record's place on the time line, seconds after the first record.
  std::vector<double> record_times_s;
  // The first and the last record's own timestamp, as they are.
  std::optional<std::uint64_t> first_timestamp_ns;
  std::optional<std::uint64_t> last_timestamp_ns;
  // The index of every keyframe record, in order.
  std::vector<std::size_t> keyframe_indexes;
  std::vector<RecordGap> gaps;
  // Only when a link rate was given.
  std::optional<LinkDelay> link;
};

// A gap is an interval between records of more than this many typical
// intervals, and at least min_gap_ns.
inline constexpr std::uint64_t gap_intervals = 4;
inline constexpr std::uint64_t min_gap_ns = 250'000'000;

// A week of seconds: far more than any session, and few enough to list. A
// stream that spans more has a timestamp that is wrong (a corrupted record,
// a clock set years off), and one line per second of it would not fit in
// memory.
inline constexpr std::uint64_t max_stats_seconds = 7 * 24 * 3600;

// Fails, saying why, for a stream that spans more than max_stats_seconds.
// With a link rate (bits per second, not 0) the link delay is worked out.
[[nodiscard]] std::expected<StreamStats, std::string> stream_stats(
    std::span<const RecordSample> records, bool clock, std::optional<std::uint64_t> link_rate_bps = std::nullopt);

// The link delay of records entering at these offsets on the time line
// (never going back) with these payload sizes; rate_bps must not be 0.
[[nodiscard]] LinkDelay link_delay(std::span<const std::uint64_t> offsets_ns, std::span<const RecordSample> records,
                                   std::uint64_t rate_bps);

// One "second=…" line per second and a "total …" line, each ending in "\n";
// the link delay's fields end the total line.
[[nodiscard]] std::string format_stats_text(const StreamStats& stats);

// What a plot adds to the statistics.
struct PlotExtras {
  // The capture log's mailbox waits, when a log was read.
  std::optional<std::vector<MailboxWait>> mailbox_waits;
  // The bitrate the capture was asked for.
  std::optional<std::uint64_t> target_bitrate_bps;
};

// {"seconds":[…],"total":{…},"records":[…],"keyframe_indexes":[…],
// "gaps":[…]} and "\n"; latency fields only when the clock was read, null
// where no strip was readable; link fields only with a link rate; the
// capture log's fields ("encode_latency_ms" of each record, and
// "mailbox_wait":[…]) only when a log was read, "target_bitrate_bps" only
// when given.
[[nodiscard]] std::string format_stats_json(const StreamStats& stats, std::span<const RecordSample> records,
                                            const PlotExtras& extras = {});

}  // namespace quorvex::tools
