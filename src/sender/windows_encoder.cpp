#include "sender/windows_encoder.h"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

namespace quorvex::sender {
namespace detail {

std::expected<std::uint64_t, IoError> unix_time_ns_from_parts(std::uint64_t seconds,
                                                              std::uint64_t subsecond_ns) {
  // 2^64 - 1 ns = 18446744073 s + 709551615 ns.
  constexpr std::uint64_t max_seconds = 18'446'744'073;
  constexpr std::uint64_t max_subsecond_ns_at_max_seconds = 709'551'615;
  if (seconds > max_seconds ||
      (seconds == max_seconds && subsecond_ns > max_subsecond_ns_at_max_seconds)) {
    return std::unexpected(timestamp_too_large_error());
  }
  return seconds * 1'000'000'000 + subsecond_ns;
}

IoError predates_epoch_error() {
  return IoError::invalid_input(std::string(predates_epoch_message));
}

IoError timestamp_too_large_error() {
  return IoError::invalid_input(std::string(timestamp_too_large_message));
}

}  // namespace detail

namespace {

template <class T>
[[nodiscard]] std::array<std::byte, sizeof(T)> little_endian(T value) {
  std::array<std::byte, sizeof(T)> bytes{};
  for (auto& byte : bytes) {
    byte = static_cast<std::byte>(value & 0xFFU);
    value = static_cast<T>(value >> 8);
  }
  return bytes;
}

// Zero-based nearest-rank index ceil(n * p / 100) - 1, in integers.
[[nodiscard]] std::size_t nearest_rank_index(std::size_t n, std::size_t percent) {
  const std::size_t product = n * percent;
  const std::size_t index = product / 100;
  return product % 100 == 0 ? index - 1 : index;
}

}  // namespace

std::expected<void, IoError> write_frame_record(ByteSink& sink, std::uint64_t timestamp_ns,
                                                bool keyframe,
                                                std::span<const std::byte> payload) {
  if (payload.empty() || payload.size() > max_frame_payload_bytes) {
    return std::unexpected(IoError::invalid_input(std::string(invalid_frame_size_message)));
  }
  const auto magic = std::as_bytes(std::span(frame_record_magic));
  const auto length = little_endian(static_cast<std::uint32_t>(payload.size()));
  const auto timestamp = little_endian(timestamp_ns);
  const auto flags = little_endian(std::uint32_t{keyframe ? 1U : 0U});
  for (const std::span<const std::byte> part :
       {magic, std::span<const std::byte>(length), std::span<const std::byte>(timestamp),
        std::span<const std::byte>(flags), payload}) {
    if (auto written = sink.write_all(part); !written) {
      return written;
    }
  }
  return {};
}

std::optional<EncoderLatencySummary> encoder_latency_summary(std::span<const std::uint64_t> samples,
                                                             std::uint64_t in_flight_max) {
  if (samples.empty()) {
    return std::nullopt;
  }
  // The windows in use hold 30 or 60 samples: those are sorted on the stack.
  constexpr std::size_t inline_capacity = 64;
  std::array<std::uint64_t, inline_capacity> inline_copy{};
  std::vector<std::uint64_t> heap_copy;
  std::span<std::uint64_t> sorted;
  if (samples.size() <= inline_capacity) {
    std::copy(samples.begin(), samples.end(), inline_copy.begin());
    sorted = std::span(inline_copy).first(samples.size());
  } else {
    heap_copy.assign(samples.begin(), samples.end());
    sorted = heap_copy;
  }
  std::sort(sorted.begin(), sorted.end());
  return EncoderLatencySummary{
      .p50 = sorted[nearest_rank_index(sorted.size(), 50)],
      .p95 = sorted[nearest_rank_index(sorted.size(), 95)],
      .in_flight_max = in_flight_max,
  };
}

H264Settings h264_settings(std::uint32_t fps) {
  H264Settings settings;
  settings.gop_size = std::max<std::uint32_t>(fps, 1);
  return settings;
}

std::uint32_t gop_size_for(const H264Settings& settings, std::optional<std::uint32_t> keyframe_interval) {
  if (!keyframe_interval) {
    return settings.gop_size;
  }
  return *keyframe_interval == 0 ? gop_size_keyframes_on_request : *keyframe_interval;
}

namespace {
std::uint32_t saturated_u32(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}
}  // namespace

std::uint32_t rate_buffer_bytes(std::uint32_t bitrate_bps, std::chrono::milliseconds duration) {
  constexpr std::uint64_t ms_bits_per_byte_second = 8 * 1000;
  // Below 2^32 milliseconds the product of two 32-bit numbers fits in 64
  // bits; a longer buffer saturates anyway.
  const std::uint64_t ms = std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0,
                                                                       std::numeric_limits<std::uint32_t>::max());
  return std::max<std::uint32_t>(1, saturated_u32(ms * bitrate_bps / ms_bits_per_byte_second));
}

std::uint32_t encoder_bitrate_for(std::uint32_t target_bps, std::uint32_t configured_fps, std::uint32_t current_fps) {
  return saturated_u32(std::uint64_t{target_bps} * configured_fps / std::max<std::uint32_t>(current_fps, 1));
}

bool is_keyframe_request(std::string_view line) {
  return line == "KEYFRAME\n" || line == "KEYFRAME\r\n";
}

bool is_keyframe_request(std::span<const std::byte> line) {
  return is_keyframe_request(
      std::string_view(reinterpret_cast<const char*>(line.data()), line.size()));
}

}  // namespace quorvex::sender
