#include "sender/windows_encoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <ratio>
#include <vector>

namespace quorvex::sender {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;
using std::chrono::sys_time;
using Ticks100ns = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
using Picoseconds = std::chrono::duration<std::int64_t, std::pico>;
using Minutes = std::chrono::duration<std::int64_t, std::ratio<60>>;
using UnsignedNanoseconds = std::chrono::duration<std::uint64_t, std::nano>;

std::vector<std::byte> bytes_of(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (const int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

std::vector<std::byte> slice(const std::vector<std::byte>& bytes, std::size_t offset,
                             std::size_t count) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(offset),
          bytes.begin() + static_cast<std::ptrdiff_t>(offset + count)};
}

// Fails the Nth write_all (1-based) with a sink error, after the earlier ones succeeded.
class FailingSink final : public ByteSink {
 public:
  explicit FailingSink(int failing_write) : failing_write_(failing_write) {}
  std::expected<void, IoError> write_all(std::span<const std::byte> data) override {
    if (++writes == failing_write_) {
      return std::unexpected(IoError{IoError::Kind::BrokenPipe, "pipe is being closed"});
    }
    written.insert(written.end(), data.begin(), data.end());
    return {};
  }
  std::expected<void, IoError> flush() override { return {}; }

  int writes = 0;
  std::vector<std::byte> written;

 private:
  int failing_write_;
};

const sys_time<nanoseconds> epoch{};

TEST(WriteFrame, HeaderFieldsAreLittleEndianAtTheirOffsets) {
  MemorySink sink;
  const std::vector<std::byte> payload(0x123, std::byte{0xAB});
  ASSERT_TRUE(write_frame(sink, epoch + seconds(1) + nanoseconds(5), true, payload));

  ASSERT_EQ(sink.bytes.size(), 24U + 0x123U);
  EXPECT_EQ(slice(sink.bytes, 0, 8), bytes_of({'Q', 'V', 'R', 'X', '2', '6', '4', '1'}));
  EXPECT_EQ(slice(sink.bytes, 8, 4), bytes_of({0x23, 0x01, 0x00, 0x00}));
  EXPECT_EQ(slice(sink.bytes, 12, 8), bytes_of({0x05, 0xCA, 0x9A, 0x3B, 0, 0, 0, 0}));
  EXPECT_EQ(slice(sink.bytes, 20, 4), bytes_of({0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(slice(sink.bytes, 24, 0x123), payload);
}

TEST(WriteFrame, NonKeyframeFlagsAreZeroAndEpochIsTimestampZero) {
  MemorySink sink;
  ASSERT_TRUE(write_frame(sink, std::chrono::system_clock::time_point{}, false,
                          bytes_of({0x42})));
  ASSERT_EQ(sink.bytes.size(), 25U);
  EXPECT_EQ(slice(sink.bytes, 12, 8), bytes_of({0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(slice(sink.bytes, 20, 4), bytes_of({0, 0, 0, 0}));
  EXPECT_EQ(sink.bytes.back(), std::byte{0x42});
}

TEST(WriteFrame, LargestPayloadIsAccepted) {
  MemorySink sink;
  const std::vector<std::byte> payload(max_frame_payload_bytes, std::byte{7});
  ASSERT_TRUE(write_frame(sink, epoch, false, payload));
  EXPECT_EQ(sink.bytes.size(), 24 + max_frame_payload_bytes);
  EXPECT_EQ(slice(sink.bytes, 8, 4), bytes_of({0x00, 0x00, 0x00, 0x01}));
}

struct RejectedRecord {
  const char* name;
  std::size_t payload_bytes;
  sys_time<nanoseconds> capture_time;
  std::string_view message;
};

class WriteFrameRejects : public testing::TestWithParam<RejectedRecord> {};

TEST_P(WriteFrameRejects, WithInvalidInputAndWritesNothing) {
  const RejectedRecord& c = GetParam();
  MemorySink sink;
  const std::vector<std::byte> payload(c.payload_bytes, std::byte{1});
  const auto result = write_frame(sink, c.capture_time, true, payload);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), IoError::invalid_input(std::string(c.message)));
  EXPECT_TRUE(sink.bytes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteFrameRejects,
    testing::Values(
        RejectedRecord{"EmptyPayload", 0, epoch, "invalid frame size"},
        RejectedRecord{"OneByteTooLong", max_frame_payload_bytes + 1, epoch, "invalid frame size"},
        RejectedRecord{"BeforeEpoch", 1, epoch - nanoseconds(1),
                       "capture time predates Unix epoch"},
        // The size is judged before the time.
        RejectedRecord{"EmptyAndBeforeEpoch", 0, epoch - seconds(5), "invalid frame size"},
        RejectedRecord{"TooLongAndBeforeEpoch", max_frame_payload_bytes + 1,
                       epoch - seconds(5), "invalid frame size"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteFrame, TooLargeTimestampIsRejectedBeforeAnythingIsWritten) {
  MemorySink sink;
  const auto result = write_frame(sink, sys_time<seconds>(seconds(18'446'744'074)), false,
                                  bytes_of({1}));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), IoError::invalid_input("capture timestamp is too large"));
  EXPECT_TRUE(sink.bytes.empty());
}

TEST(WriteFrame, SinkErrorIsPassedThroughUnchangedAndNotRetried) {
  for (int failing_write = 1; failing_write <= 5; ++failing_write) {
    SCOPED_TRACE(failing_write);
    FailingSink sink(failing_write);
    const auto result = write_frame(sink, epoch, true, bytes_of({1, 2, 3}));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), (IoError{IoError::Kind::BrokenPipe, "pipe is being closed"}));
    EXPECT_EQ(sink.writes, failing_write);
  }
}

TEST(WriteFrame, RecordsFollowEachOtherWithoutPadding) {
  MemorySink sink;
  ASSERT_TRUE(write_frame(sink, epoch, false, bytes_of({1, 2})));
  ASSERT_TRUE(write_frame(sink, epoch, true, bytes_of({3})));
  ASSERT_EQ(sink.bytes.size(), 26U + 25U);
  EXPECT_EQ(slice(sink.bytes, 26, 8), bytes_of({'Q', 'V', 'R', 'X', '2', '6', '4', '1'}));
}

// Every clock tick the platforms use must convert exactly, right up to the
// last representable nanosecond, without overflowing on the way.
TEST(UnixTimeNs, ConvertsEveryTickExactlyUpToTheLastNanosecond) {
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(unix_time_ns(epoch + seconds(1) + nanoseconds(5)), 1'000'000'005U);
  EXPECT_EQ(unix_time_ns(sys_time<Ticks100ns>(Ticks100ns(184'467'440'737'095'516))),
            18'446'744'073'709'551'600U);
  EXPECT_EQ(unix_time_ns(sys_time<seconds>(seconds(18'446'744'073))),
            18'446'744'073'000'000'000U);
  EXPECT_EQ(unix_time_ns(sys_time<UnsignedNanoseconds>(UnsignedNanoseconds(max))), max);
  EXPECT_EQ(unix_time_ns(sys_time<Minutes>(Minutes(307'445'734))), 18'446'744'040'000'000'000U);
  // Finer ticks are truncated to whole nanoseconds.
  EXPECT_EQ(unix_time_ns(sys_time<Picoseconds>(Picoseconds(1'000'000'005'999))), 1'000'000'005U);
}

TEST(UnixTimeNs, RejectsTimesBeyondTheLastNanosecondOrBeforeTheEpoch) {
  const auto too_large = IoError::invalid_input("capture timestamp is too large");
  const auto predates = IoError::invalid_input("capture time predates Unix epoch");
  EXPECT_EQ(unix_time_ns(sys_time<Ticks100ns>(Ticks100ns(184'467'440'737'095'517))).error(),
            too_large);
  EXPECT_EQ(unix_time_ns(sys_time<Ticks100ns>(Ticks100ns::max())).error(), too_large);
  EXPECT_EQ(unix_time_ns(sys_time<seconds>(seconds(18'446'744'074))).error(), too_large);
  EXPECT_EQ(unix_time_ns(sys_time<Minutes>(Minutes(307'445'735))).error(), too_large);
  EXPECT_EQ(unix_time_ns(sys_time<Minutes>(Minutes::max())).error(), too_large);
  EXPECT_EQ(unix_time_ns(sys_time<Ticks100ns>(Ticks100ns(-1))).error(), predates);
  EXPECT_EQ(unix_time_ns(sys_time<Ticks100ns>(Ticks100ns::min())).error(), predates);
  EXPECT_EQ(unix_time_ns(sys_time<Picoseconds>(Picoseconds(-1))).error(), predates);
}

struct PercentileCase {
  std::size_t n;
  std::size_t p50_index;
  std::size_t p95_index;
};

class NearestRank : public testing::TestWithParam<PercentileCase> {};

TEST_P(NearestRank, PicksTheNearestRankNotAnInterpolatedOrOffByOneSample) {
  const PercentileCase& c = GetParam();
  // Samples 100, 101, ... reversed, so the index in sorted order is sample - 100.
  std::vector<std::uint64_t> samples;
  for (std::size_t i = c.n; i > 0; --i) samples.push_back(99 + i);
  const auto summary = encoder_latency_summary(samples, 2);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->p50, 100 + c.p50_index);
  EXPECT_EQ(summary->p95, 100 + c.p95_index);
  EXPECT_EQ(summary->in_flight_max, 2U);
}

INSTANTIATE_TEST_SUITE_P(Cases, NearestRank,
                         testing::Values(PercentileCase{1, 0, 0}, PercentileCase{2, 0, 1},
                                         PercentileCase{7, 3, 6}, PercentileCase{20, 9, 18},
                                         PercentileCase{30, 14, 28}, PercentileCase{60, 29, 56},
                                         PercentileCase{64, 31, 60}, PercentileCase{65, 32, 61},
                                         PercentileCase{100, 49, 94}));

TEST(EncoderLatencySummary, EmptyWindowHasNoSummary) {
  EXPECT_EQ(encoder_latency_summary({}, 2), std::nullopt);
}

TEST(EncoderLatencySummary, DuplicatesCountAsSeparateRanksAndCallerOrderIsKept) {
  std::vector<std::uint64_t> samples = {9, 5, 5};
  EXPECT_EQ(encoder_latency_summary(samples, 7), (EncoderLatencySummary{5, 9, 7}));
  EXPECT_THAT(samples, testing::ElementsAre(9, 5, 5));

  std::vector<std::uint64_t> shuffled;
  for (std::uint64_t i = 0; i < 30; ++i) shuffled.push_back((i * 7) % 30 + 1);
  EXPECT_EQ(encoder_latency_summary(shuffled, 0), (EncoderLatencySummary{15, 29, 0}));
}

TEST(H264Settings, GopFollowsFrameRateAndNeverDropsToZero) {
  const H264Settings at_30 = h264_settings(30);
  EXPECT_EQ(at_30.gop_size, 30U);
  EXPECT_EQ(h264_settings(0).gop_size, 1U);
  EXPECT_EQ(h264_settings(4'294'967'295U).gop_size, 4'294'967'295U);
  for (const std::uint32_t fps : {0U, 1U, 30U, 60U}) {
    const H264Settings s = h264_settings(fps);
    EXPECT_EQ(s.max_in_flight, 2U);
    EXPECT_EQ(s.b_frames, 0U);
    EXPECT_EQ(s.quality_vs_speed, 33U);
    EXPECT_TRUE(s.low_latency);
  }
}

// "--keyframe-interval": absent keeps one second; 0 must not reach the
// encoder as 0, which Microsoft documents as "the encoder selects".
TEST(GopSizeFor, KeepsTheSecondByDefaultAndNeverMeansTheLongestGop) {
  const H264Settings at_30 = h264_settings(30);
  EXPECT_EQ(gop_size_for(at_30, std::nullopt), 30U);
  EXPECT_EQ(gop_size_for(at_30, 0U), gop_size_keyframes_on_request);
  EXPECT_EQ(gop_size_keyframes_on_request, 4'294'967'295U);
  EXPECT_EQ(gop_size_for(at_30, 1U), 1U);
  EXPECT_EQ(gop_size_for(at_30, 300U), 300U);
}

// The H.264 buffer is in bytes: one 30 fps frame interval of 4 Mbit/s is
// 16,500 bytes (132,000 bits), not 132,000.
TEST(RateBufferBytes, HoldsTheDurationOfTheBitRateInBytes) {
  using std::chrono::milliseconds;
  const struct {
    std::uint32_t bitrate;
    milliseconds duration;
    std::uint32_t bytes;
  } cases[] = {
      {4'000'000, milliseconds(33), 16'500},
      {8'000'000, milliseconds(1000), 1'000'000},
      {8'000'000, milliseconds(17), 17'000},
      {1, milliseconds(1), 1},  // never an empty buffer
      {7, milliseconds(1000), 1},
      {4'294'967'295U, milliseconds(1000), 536'870'911},
      {4'294'967'295U, milliseconds(4'294'967'295LL), 4'294'967'295U},  // saturates
      {4'294'967'295U, milliseconds(1LL << 40), 4'294'967'295U},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rate_buffer_bytes(c.bitrate, c.duration), c.bytes) << c.bitrate << " bps " << c.duration.count() << " ms";
  }
}

// The encoder budgets bitrate ÷ configured fps per frame; fed fewer frames,
// it must be given proportionally more to keep the bits per second.
TEST(EncoderBitrateFor, ScalesByConfiguredOverCurrentFrameRate) {
  EXPECT_EQ(encoder_bitrate_for(4'000'000, 30, 30), 4'000'000U);
  EXPECT_EQ(encoder_bitrate_for(4'000'000, 30, 15), 8'000'000U);
  EXPECT_EQ(encoder_bitrate_for(4'000'000, 30, 7), 17'142'857U);
  EXPECT_EQ(encoder_bitrate_for(4'000'000, 60, 1), 240'000'000U);
  EXPECT_EQ(encoder_bitrate_for(4'294'967'295U, 30, 1), 4'294'967'295U);  // saturates
  EXPECT_EQ(encoder_bitrate_for(1'000'000, 30, 0), 30'000'000U);
}

TEST(IsKeyframeRequest, AcceptsOnlyTheExactWordWithLfOrCrLf) {
  EXPECT_TRUE(is_keyframe_request("KEYFRAME\n"));
  EXPECT_TRUE(is_keyframe_request("KEYFRAME\r\n"));
  EXPECT_TRUE(is_keyframe_request(std::as_bytes(std::span("KEYFRAME\n", 9))));
  for (const std::string_view line : {"KEYFRAME", "KEYFRAME \n", " KEYFRAME\n", "keyframe\n",
                                      "KEYFRAME\r", "KEYFRAME\n\n", "KEYFRAME\r\r\n", ""}) {
    EXPECT_FALSE(is_keyframe_request(line)) << testing::PrintToString(line);
  }
}

}  // namespace
}  // namespace quorvex::sender
