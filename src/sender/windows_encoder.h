// The encoder side's formats: the binary frame record written to standard
// output for every encoded access unit, the latency summary line, the H.264
// settings that follow from the frame rate and the raw keyframe-line test.
// Pure functions apart from the sink they are given; any thread may call them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "sender/byte_sink.h"
#include "sender/io_error.h"

namespace quorvex::sender {

// Record layout, all integers little-endian: magic, payload length (u32),
// capture time in ns since the Unix epoch (u64), flags (u32, 1 = keyframe),
// then the payload.
inline constexpr std::string_view frame_record_magic = "QVRX2641";
inline constexpr std::size_t frame_record_header_bytes = 24;
// 16 MiB: far above any access unit at our bit rates, small enough that a
// reader can trust the length field before allocating.
inline constexpr std::size_t max_frame_payload_bytes = 16 * 1024 * 1024;

inline constexpr std::string_view invalid_frame_size_message = "invalid frame size";
inline constexpr std::string_view predates_epoch_message = "capture time predates Unix epoch";
inline constexpr std::string_view timestamp_too_large_message = "capture timestamp is too large";

namespace detail {

// Whole seconds plus sub-second nanoseconds as one u64, or the too-large error
// beyond 2554-07-21T23:34:33.709551615Z.
[[nodiscard]] std::expected<std::uint64_t, IoError> unix_time_ns_from_parts(
    std::uint64_t seconds, std::uint64_t subsecond_ns);
[[nodiscard]] IoError predates_epoch_error();
[[nodiscard]] IoError timestamp_too_large_error();

template <class>
inline constexpr bool unsupported_period = false;

}  // namespace detail

// Nanoseconds from the Unix epoch to `time`, exact for any integer tick
// (100 ns on Windows, 1 ns on Linux, coarser or finer in tests) without
// overflowing: the seconds and the sub-second part are taken apart first.
// Ticks finer than a nanosecond are truncated to whole nanoseconds.
template <class Duration>
[[nodiscard]] std::expected<std::uint64_t, IoError> unix_time_ns(
    std::chrono::sys_time<Duration> time) {
  using Rep = typename Duration::rep;
  using Period = typename Duration::period;
  static_assert(std::is_integral_v<Rep> && sizeof(Rep) <= sizeof(std::uint64_t),
                "capture times count whole ticks in at most 64 bits");
  constexpr std::uint64_t ns_per_second = 1'000'000'000;
  constexpr auto num = static_cast<std::uint64_t>(Period::num);
  constexpr auto den = static_cast<std::uint64_t>(Period::den);

  const Rep count = time.time_since_epoch().count();
  if constexpr (std::is_signed_v<Rep>) {
    if (count < 0) {
      return std::unexpected(detail::predates_epoch_error());
    }
  }
  const auto ticks = static_cast<std::uint64_t>(count);
  if constexpr (num == 1 && ns_per_second % den == 0) {
    return detail::unix_time_ns_from_parts(ticks / den, ticks % den * (ns_per_second / den));
  } else if constexpr (num == 1 && den % ns_per_second == 0) {
    return detail::unix_time_ns_from_parts(ticks / den, ticks % den / (den / ns_per_second));
  } else if constexpr (den == 1) {
    if (ticks > std::numeric_limits<std::uint64_t>::max() / num) {
      return std::unexpected(detail::timestamp_too_large_error());
    }
    return detail::unix_time_ns_from_parts(ticks * num, 0);
  } else {
    static_assert(detail::unsupported_period<Duration>,
                  "the tick must divide a second evenly or be whole seconds");
  }
}

// Writes one record with an already computed timestamp: the size is checked
// first and nothing is written when it is wrong. Five writes (magic, length,
// timestamp, flags, payload); a sink error is returned unchanged and may
// leave a partial record behind. Does not flush.
[[nodiscard]] std::expected<void, IoError> write_frame_record(ByteSink& sink,
                                                              std::uint64_t timestamp_ns,
                                                              bool keyframe,
                                                              std::span<const std::byte> payload);

// Writes one frame record for a wall-clock capture time. The size is checked
// before the time, and both before the first byte, so a rejected record
// leaves the stream untouched; the rejections are invalid-input errors with
// the messages above.
template <class Duration>
[[nodiscard]] std::expected<void, IoError> write_frame(ByteSink& sink,
                                                       std::chrono::sys_time<Duration> capture_time,
                                                       bool keyframe,
                                                       std::span<const std::byte> payload) {
  if (payload.empty() || payload.size() > max_frame_payload_bytes) {
    return std::unexpected(IoError::invalid_input(std::string(invalid_frame_size_message)));
  }
  const auto timestamp_ns = unix_time_ns(capture_time);
  if (!timestamp_ns) {
    return std::unexpected(timestamp_ns.error());
  }
  return write_frame_record(sink, *timestamp_ns, keyframe, payload);
}

// The nearest-rank median and 95th percentile of a window of latency samples
// (whole milliseconds in every caller), with the caller's in-flight maximum.
struct EncoderLatencySummary {
  std::uint64_t p50 = 0;
  std::uint64_t p95 = 0;
  std::uint64_t in_flight_max = 0;
  friend bool operator==(const EncoderLatencySummary&, const EncoderLatencySummary&) = default;
};

// Nothing for an empty window. Works on a copy; the caller's order is kept.
[[nodiscard]] std::optional<EncoderLatencySummary> encoder_latency_summary(
    std::span<const std::uint64_t> samples, std::uint64_t in_flight_max);

// Encoder parameters that follow from the frame rate.
struct H264Settings {
  // Frames inside the encoder at once: one encoding, one queued.
  std::size_t max_in_flight = 2;
  std::uint32_t b_frames = 0;
  // One keyframe per second.
  std::uint32_t gop_size = 1;
  std::uint32_t quality_vs_speed = 33;
  bool low_latency = true;
  friend bool operator==(const H264Settings&, const H264Settings&) = default;
};

[[nodiscard]] H264Settings h264_settings(std::uint32_t fps);

// The GOP size that stands for "keyframes only when asked". Microsoft's
// "H.264 Video Encoder" page gives CODECAPI_AVEncMPVGOPSize the range
// [0 ... 2^32-1] where 0 is not "never" but "the encoder selects the GOP
// size", so the longest GOP there is stands for never.
inline constexpr std::uint32_t gop_size_keyframes_on_request = 0xFFFF'FFFFu;

// The GOP size for "--keyframe-interval": absent keeps the settings' one
// second of frames, 0 means keyframes only on request.
[[nodiscard]] std::uint32_t gop_size_for(const H264Settings& settings, std::optional<std::uint32_t> keyframe_interval);

// The rate-control buffer that holds `duration` of `bitrate_bps`, in bytes:
// Microsoft's "H.264 Video Encoder" page and the AVEncCommonBufferSize
// page both give the H.264 (HRD) buffer size in bytes, not in bits as for
// MPEG-2's VBV. Rounded down, at least 1 byte, at most 2^32-1.
[[nodiscard]] std::uint32_t rate_buffer_bytes(std::uint32_t bitrate_bps, std::chrono::milliseconds duration);

// The mean bit rate to give an encoder configured for `configured_fps` that
// is fed `current_fps` frames a second so that it spends `target_bps`: its
// rate control budgets target ÷ configured bits per frame, so the rate is
// scaled by configured ÷ current (Chromium's Media Foundation encoder does
// the same when the frame rate changes). Rounded down, saturating at
// 2^32-1; a current rate of 0 counts as 1.
[[nodiscard]] std::uint32_t encoder_bitrate_for(std::uint32_t target_bps, std::uint32_t configured_fps,
                                                std::uint32_t current_fps);

// True only for exactly "KEYFRAME\n" or "KEYFRAME\r\n": no trimming.
[[nodiscard]] bool is_keyframe_request(std::span<const std::byte> line);
[[nodiscard]] bool is_keyframe_request(std::string_view line);

}  // namespace quorvex::sender
