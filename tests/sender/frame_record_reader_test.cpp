#include "sender/frame_record_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "sender/windows_encoder.h"

namespace quorvex::sender {
namespace {

using std::chrono::nanoseconds;
using std::chrono::sys_time;

struct Written {
  std::uint64_t timestamp_ns;
  bool keyframe;
  std::vector<std::byte> payload;
};

std::vector<std::byte> payload_of(std::size_t size, int seed) {
  std::vector<std::byte> payload(size);
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::byte>((i * 31 + seed) & 0xFF);
  return payload;
}

std::vector<Written> sample_records() {
  return {
      {0, true, payload_of(1, 1)},
      {1'000'000'005, false, payload_of(0x123, 2)},
      {18'446'744'073'709'551'615U, false, payload_of(4096, 3)},
      {1'700'000'000'123'456'700, true, payload_of(70'000, 4)},
  };
}

// Written from raw timestamps: the largest ones lie beyond what a signed
// nanosecond wall clock can hold.
std::vector<std::byte> stream_of(const std::vector<Written>& records) {
  MemorySink sink;
  for (const Written& r : records) {
    EXPECT_TRUE(write_frame_record(sink, r.timestamp_ns, r.keyframe, r.payload));
  }
  return sink.bytes;
}

void expect_same_records(const std::vector<FrameRecord>& read, const std::vector<Written>& written) {
  ASSERT_EQ(read.size(), written.size());
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < read.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(read[i].offset, offset);
    EXPECT_EQ(read[i].timestamp_ns, written[i].timestamp_ns);
    EXPECT_EQ(read[i].keyframe, written[i].keyframe);
    EXPECT_EQ(read[i].payload, written[i].payload);
    offset += 24 + written[i].payload.size();
  }
}

// Feeding in chunks of every awkward size catches a parser that assumes a
// header (or a payload) arrives in one piece.
class FrameRecordRoundTrip : public testing::TestWithParam<std::size_t> {};

TEST_P(FrameRecordRoundTrip, ChunkBoundariesDoNotLoseOrSplitRecords) {
  const std::vector<Written> written = sample_records();
  const std::vector<std::byte> stream = stream_of(written);
  FrameRecordReader reader;
  std::vector<FrameRecord> read;
  for (std::size_t at = 0; at < stream.size(); at += GetParam()) {
    const std::size_t count = std::min(GetParam(), stream.size() - at);
    reader.feed(std::span(stream).subspan(at, count));
    while (true) {
      auto next = reader.next();
      ASSERT_TRUE(next) << next.error().message;
      if (!*next) break;
      read.push_back(std::move(**next));
    }
  }
  EXPECT_TRUE(reader.finish());
  EXPECT_EQ(reader.offset(), stream.size());
  expect_same_records(read, written);
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, FrameRecordRoundTrip,
                         testing::Values(1, 3, 7, 23, 24, 25, 4096, 1 << 20));

TEST(ReadFrameRecords, WholeStreamRoundTripsThroughWriteFrame) {
  MemorySink sink;
  const auto when = sys_time<nanoseconds>(nanoseconds(1'700'000'000'000'000'100));
  ASSERT_TRUE(write_frame(sink, when, true, payload_of(10, 0)));
  ASSERT_TRUE(write_frame(sink, when + nanoseconds(33'333'333), false, payload_of(3, 9)));
  const auto read = read_frame_records(sink.bytes);
  ASSERT_TRUE(read) << read.error().message;
  expect_same_records(*read, {{1'700'000'000'000'000'100, true, payload_of(10, 0)},
                              {1'700'000'000'033'333'433, false, payload_of(3, 9)}});
  EXPECT_TRUE(read_frame_records({}));
}

void put_u32(std::vector<std::byte>& stream, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) stream[at + i] = static_cast<std::byte>(value >> (8 * i));
}

struct Corruption {
  const char* name;
  // Applied to a stream of two 10-byte records (34 bytes each).
  void (*corrupt)(std::vector<std::byte>&);
  std::uint64_t offset;
  std::string message;
};

class MalformedStream : public testing::TestWithParam<Corruption> {};

TEST_P(MalformedStream, ReportsTheOffsetOfTheFirstBadByte) {
  MemorySink sink;
  ASSERT_TRUE(write_frame_record(sink, 1, false, payload_of(10, 0)));
  ASSERT_TRUE(write_frame_record(sink, 2, true, payload_of(10, 1)));
  std::vector<std::byte> stream = sink.bytes;
  GetParam().corrupt(stream);

  const auto read = read_frame_records(stream);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().offset, GetParam().offset);
  EXPECT_EQ(read.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedStream,
    testing::Values(
        Corruption{"BadFirstMagicByte", [](auto& s) { s[0] = std::byte{'q'}; }, 0,
                   "bad magic byte at offset 0 (expected \"QVRX2641\")"},
        Corruption{"BadLastMagicByteOfSecondRecord", [](auto& s) { s[34 + 7] = std::byte{'2'}; },
                   41, "bad magic byte at offset 41 (expected \"QVRX2641\")"},
        Corruption{"ZeroLength", [](auto& s) { put_u32(s, 34 + 8, 0); }, 42,
                   "invalid payload length at offset 42: 0 (allowed 1 to 16777216)"},
        Corruption{"LengthOnePastMax", [](auto& s) { put_u32(s, 8, 16'777'217); }, 8,
                   "invalid payload length at offset 8: 16777217 (allowed 1 to 16777216)"},
        Corruption{"FlagsTwo", [](auto& s) { put_u32(s, 20, 2); }, 20,
                   "invalid flags at offset 20: 2 (allowed 0 or 1)"},
        Corruption{"CutInHeader", [](auto& s) { s.resize(34 + 23); }, 34,
                   "truncated record at offset 34: stream ends after 23 of 24 header bytes"},
        Corruption{"CutInPayload", [](auto& s) { s.resize(34 + 33); }, 34,
                   "truncated record at offset 34: stream ends after 33 of 34 record bytes"},
        Corruption{"TrailingGarbageAfterLastRecord", [](auto& s) { s.push_back(std::byte{0}); },
                   68, "bad magic byte at offset 68 (expected \"QVRX2641\")"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameRecordReader, BadMagicIsReportedBeforeTheHeaderIsCompleteAndSticks) {
  FrameRecordReader reader;
  reader.feed(std::as_bytes(std::span("QVRY", 4)));
  auto first = reader.next();
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().offset, 3U);
  // A valid record afterwards cannot resynchronise the stream.
  MemorySink sink;
  ASSERT_TRUE(write_frame_record(sink, 0, true, payload_of(1, 0)));
  reader.feed(sink.bytes);
  EXPECT_FALSE(reader.next());
  EXPECT_FALSE(reader.finish());
}

TEST(FrameRecordReader, LargestPayloadIsAcceptedAndEmptyStreamIsComplete) {
  FrameRecordReader reader;
  EXPECT_TRUE(reader.finish());
  MemorySink sink;
  ASSERT_TRUE(write_frame_record(sink, 5, false, payload_of(max_frame_payload_bytes, 0)));
  reader.feed(sink.bytes);
  const auto record = reader.next();
  ASSERT_TRUE(record && *record);
  EXPECT_EQ((*record)->payload.size(), max_frame_payload_bytes);
  EXPECT_TRUE(reader.finish());
}

}  // namespace
}  // namespace quorvex::sender
