#include "qvrx/stream_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "qvrx/timeline.h"

namespace quorvex::tools {
namespace {

constexpr std::uint64_t nanoseconds_per_millisecond = 1'000'000;

// Nearest rank: the smallest sample with at least `percent` of all samples
// at or below it.
std::int64_t nearest_rank(const std::vector<std::int64_t>& sorted, unsigned percent) {
  const std::size_t rank = (sorted.size() * percent + 99) / 100;
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

void add_latencies(PeriodStats& period, std::vector<std::int64_t>& latencies) {
  if (latencies.empty()) {
    return;
  }
  std::sort(latencies.begin(), latencies.end());
  period.latency_p50_ms = nearest_rank(latencies, 50);
  period.latency_p95_ms = nearest_rank(latencies, 95);
}

void add_record(PeriodStats& period, const RecordSample& record, bool clock, std::vector<std::int64_t>& latencies) {
  ++period.records;
  period.bytes += record.size_bytes;
  period.keyframes += record.keyframe ? 1 : 0;
  period.largest_bytes = std::max(period.largest_bytes, record.size_bytes);
  period.filler_bytes += record.filler_bytes;
  if (record.latency_ms) {
    latencies.push_back(*record.latency_ms);
  } else if (clock) {
    ++period.clock_unreadable;
  }
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string optional_number(const std::optional<std::int64_t>& value, const char* missing) {
  return value ? std::to_string(*value) : missing;
}

// The fields both formats share, as name/value pairs in order.
struct Field {
  const char* name;
  std::string value;
};

std::vector<Field> period_fields(const PeriodStats& period, bool clock, const char* missing) {
  std::vector<Field> fields = {
      {"records", std::to_string(period.records)},
      {"fps", fixed(period.frames_per_second(), 2)},
      {"bitrate_bps", fixed(period.bits_per_second(), 0)},
      {"keyframes", std::to_string(period.keyframes)},
      {"largest_bytes", std::to_string(period.largest_bytes)},
      {"filler_bytes", std::to_string(period.filler_bytes)},
      {"filler_share", fixed(period.filler_share(), 3)},
  };
  if (clock) {
    fields.push_back({"latency_p50_ms", optional_number(period.latency_p50_ms, missing)});
    fields.push_back({"latency_p95_ms", optional_number(period.latency_p95_ms, missing)});
    fields.push_back({"clock_unreadable", std::to_string(period.clock_unreadable)});
  }
  return fields;
}

// Nearest rank over doubles, as for the latencies.
double nearest_rank(const std::vector<double>& sorted, unsigned percent) {
  const std::size_t rank = (sorted.size() * percent + 99) / 100;
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

std::vector<Field> link_fields(const LinkDelay& link) {
  return {
      {"link_rate_bps", std::to_string(link.rate_bps)},
      {"link_delay_p50_ms", fixed(link.p50_ms, 3)},
      {"link_delay_p95_ms", fixed(link.p95_ms, 3)},
      {"link_delay_p99_ms", fixed(link.p99_ms, 3)},
      {"link_delay_max_ms", fixed(link.max_ms, 3)},
  };
}

template <class T, class Format>
std::string json_array(const std::vector<T>& values, Format format) {
  std::string array = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    array += (i == 0 ? "" : ",") + format(values[i]);
  }
  return array + "]";
}

std::string text_line(std::string head, const std::vector<Field>& fields) {
  for (const Field& field : fields) {
    head += ' ';
    head += field.name;
    head += '=';
    head += field.value;
  }
  return head + "\n";
}

std::string json_object(std::vector<Field> fields) {
  std::string object = "{";
  for (const Field& field : fields) {
    object += (object.size() > 1 ? ",\"" : "\"");
    object += field.name;
    object += "\":";
    object += field.value;
  }
  return object + "}";
}

}  // namespace

std::int64_t frame_clock_latency_ms(std::uint64_t timestamp_ns, testing::FrameClockStamp stamp) {
  const auto captured_ms = static_cast<std::uint32_t>(timestamp_ns / nanoseconds_per_millisecond);
  return static_cast<std::int32_t>(captured_ms - stamp.wall_time_ms);
}

double PeriodStats::frames_per_second() const { return length_s > 0 ? static_cast<double>(records) / length_s : 0; }

double PeriodStats::bits_per_second() const { return length_s > 0 ? static_cast<double>(bytes) * 8 / length_s : 0; }

double PeriodStats::filler_share() const {
  return bytes > 0 ? static_cast<double>(filler_bytes) / static_cast<double>(bytes) : 0;
}

LinkDelay link_delay(std::span<const std::uint64_t> offsets_ns, std::span<const RecordSample> records,
                     std::uint64_t rate_bps) {
  LinkDelay link;
  link.rate_bps = rate_bps;
  const std::size_t count = std::min(offsets_ns.size(), records.size());
  link.record_delays_ms.reserve(count);
  // In seconds as doubles: exact to far below a nanosecond over any session,
  // and no product of size and 10^9 to overflow.
  double link_free_s = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double enters_s = static_cast<double>(offsets_ns[i]) / 1e9;
    const double sending_s = static_cast<double>(records[i].size_bytes) * 8 / static_cast<double>(rate_bps);
    link_free_s = std::max(link_free_s, enters_s) + sending_s;
    link.record_delays_ms.push_back((link_free_s - enters_s) * 1e3);
  }
  if (count == 0) {
    return link;
  }
  std::vector<double> sorted = link.record_delays_ms;
  std::sort(sorted.begin(), sorted.end());
  link.p50_ms = nearest_rank(sorted, 50);
  link.p95_ms = nearest_rank(sorted, 95);
  link.p99_ms = nearest_rank(sorted, 99);
  link.max_ms = sorted.back();
  return link;
}

std::expected<StreamStats, std::string> stream_stats(std::span<const RecordSample> records, bool clock,
                                                     std::optional<std::uint64_t> link_rate_bps) {
  StreamStats stats;
  stats.clock = clock;
  if (records.empty()) {
    return stats;
  }
  // Offsets from the first record, never going back (see timeline.h).
  std::vector<std::uint64_t> offsets_ns;
  std::vector<std::uint64_t> intervals_ns;
  offsets_ns.reserve(records.size());
  std::uint64_t at_ns = records.front().timestamp_ns;
  for (const RecordSample& record : records) {
    const std::uint64_t next_ns = std::max(record.timestamp_ns, at_ns);
    if (!offsets_ns.empty()) {
      intervals_ns.push_back(next_ns - at_ns);
    }
    at_ns = next_ns;
    offsets_ns.push_back(at_ns - records.front().timestamp_ns);
  }
  auto too_long = [](std::uint64_t span_s) {
    return std::unexpected("the records span " + std::to_string(span_s) + " s, more than the " +
                           std::to_string(max_stats_seconds) + " s qvrx adds up: a timestamp must be wrong");
  };
  if (offsets_ns.back() / nanoseconds_per_second >= max_stats_seconds) {
    return too_long(offsets_ns.back() / nanoseconds_per_second);
  }
  // No overflow: the last offset is under a week and no interval is longer.
  const std::uint64_t end_ns = offsets_ns.back() + typical_interval_ns(intervals_ns);
  const std::uint64_t seconds = std::max((end_ns + nanoseconds_per_second - 1) / nanoseconds_per_second,
                                         offsets_ns.back() / nanoseconds_per_second + 1);
  if (seconds > max_stats_seconds) {
    return too_long(end_ns / nanoseconds_per_second);
  }

  stats.seconds.resize(seconds);
  std::vector<std::vector<std::int64_t>> latencies(seconds);
  std::vector<std::int64_t> all_latencies;
  for (std::uint64_t k = 0; k < seconds; ++k) {
    const std::uint64_t start_ns = k * nanoseconds_per_second;
    stats.seconds[k].length_s =
        end_ns > start_ns ? static_cast<double>(std::min(end_ns - start_ns, nanoseconds_per_second)) / 1e9 : 0;
  }
  stats.total.length_s = static_cast<double>(end_ns) / 1e9;
  stats.record_times_s.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::uint64_t second = offsets_ns[i] / nanoseconds_per_second;
    add_record(stats.seconds[second], records[i], clock, latencies[second]);
    add_record(stats.total, records[i], clock, all_latencies);
    stats.record_times_s.push_back(static_cast<double>(offsets_ns[i]) / 1e9);
  }
  for (std::uint64_t k = 0; k < seconds; ++k) {
    add_latencies(stats.seconds[k], latencies[k]);
  }
  add_latencies(stats.total, all_latencies);

  stats.first_timestamp_ns = records.front().timestamp_ns;
  stats.last_timestamp_ns = records.back().timestamp_ns;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].keyframe) {
      stats.keyframe_indexes.push_back(i);
    }
  }
  const std::uint64_t gap_ns = std::max(min_gap_ns, gap_intervals * typical_interval_ns(intervals_ns));
  for (std::size_t i = 1; i < offsets_ns.size(); ++i) {
    if (offsets_ns[i] - offsets_ns[i - 1] > gap_ns) {
      stats.gaps.push_back({stats.record_times_s[i - 1], stats.record_times_s[i]});
    }
  }
  if (link_rate_bps && *link_rate_bps > 0) {
    stats.link = link_delay(offsets_ns, records, *link_rate_bps);
  }
  return stats;
}

std::string format_stats_text(const StreamStats& stats) {
  std::string text;
  for (std::size_t k = 0; k < stats.seconds.size(); ++k) {
    text += text_line("second=" + std::to_string(k), period_fields(stats.seconds[k], stats.clock, "none"));
  }
  auto total = period_fields(stats.total, stats.clock, "none");
  if (stats.link) {
    const auto link = link_fields(*stats.link);
    total.insert(total.end(), link.begin(), link.end());
  }
  return text + text_line("total duration_s=" + fixed(stats.total.length_s, 3), total);
}

std::string format_stats_json(const StreamStats& stats, std::span<const RecordSample> records,
                              const PlotExtras& extras) {
  std::string json = "{\"seconds\":[";
  for (std::size_t k = 0; k < stats.seconds.size(); ++k) {
    auto fields = period_fields(stats.seconds[k], stats.clock, "null");
    fields.insert(fields.begin(), {{"second", std::to_string(k)}, {"length_s", fixed(stats.seconds[k].length_s, 3)}});
    json += (k == 0 ? "" : ",") + json_object(std::move(fields));
  }
  auto total = period_fields(stats.total, stats.clock, "null");
  total.insert(total.begin(), {"duration_s", fixed(stats.total.length_s, 3)});
  const auto timestamp = [](const std::optional<std::uint64_t>& ns) {
    return ns ? std::to_string(*ns) : std::string("null");
  };
  total.push_back({"first_timestamp_ns", timestamp(stats.first_timestamp_ns)});
  total.push_back({"last_timestamp_ns", timestamp(stats.last_timestamp_ns)});
  if (stats.link) {
    const auto link = link_fields(*stats.link);
    total.insert(total.end(), link.begin(), link.end());
  }
  json += "],\"total\":" + json_object(std::move(total)) + ",\"records\":[";
  for (std::size_t i = 0; i < records.size() && i < stats.record_times_s.size(); ++i) {
    std::vector<Field> fields = {
        {"time_s", fixed(stats.record_times_s[i], 6)},
        {"size_bytes", std::to_string(records[i].size_bytes)},
        {"keyframe", records[i].keyframe ? "true" : "false"},
    };
    if (stats.clock) {
      fields.push_back({"latency_ms", optional_number(records[i].latency_ms, "null")});
    }
    if (stats.link && i < stats.link->record_delays_ms.size()) {
      fields.push_back({"link_delay_ms", fixed(stats.link->record_delays_ms[i], 3)});
    }
    if (extras.mailbox_waits) {
      fields.push_back({"encode_latency_ms", optional_number(records[i].encode_latency_ms, "null")});
    }
    json += (i == 0 ? "" : ",") + json_object(std::move(fields));
  }
  json += "],\"keyframe_indexes\":" +
          json_array(stats.keyframe_indexes, [](std::size_t index) { return std::to_string(index); });
  json += ",\"gaps\":" + json_array(stats.gaps, [](const RecordGap& gap) {
            return json_object({{"start_s", fixed(gap.start_s, 6)}, {"end_s", fixed(gap.end_s, 6)}});
          });
  if (extras.mailbox_waits) {
    json += ",\"mailbox_wait\":" + json_array(*extras.mailbox_waits, [](const MailboxWait& wait) {
              return json_object({{"record_index", std::to_string(wait.record_index)},
                                  {"p50_ms", std::to_string(wait.p50_ms)},
                                  {"p95_ms", std::to_string(wait.p95_ms)}});
            });
  }
  if (extras.target_bitrate_bps) {
    json += ",\"target_bitrate_bps\":" + std::to_string(*extras.target_bitrate_bps);
  }
  return json + "}\n";
}

}  // namespace quorvex::tools
