// The frame-record reader on arbitrary streams, fed in chunks whose sizes
// come from the input's first byte. Chunking never changes what is read;
// an error is reported as soon as the offending field has arrived and
// sticks; every record read writes back, with write_frame, to exactly the
// bytes it was read from.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "check.h"
#include "sender/byte_sink.h"
#include "sender/frame_record_reader.h"
#include "sender/windows_encoder.h"

namespace {

using quorvex::sender::FrameRecord;
using quorvex::sender::FrameRecordError;
using quorvex::sender::FrameRecordReader;

// Chunk sizes around the header's field boundaries, and a few larger ones.
constexpr std::array<std::size_t, 12> chunk_sizes = {0, 1, 2, 3, 4, 7, 8, 12, 20, 24, 25, 1000};

class Chunker {
 public:
  explicit Chunker(std::uint8_t seed) : state_(seed) {}
  std::size_t next() {
    // splitmix64: any seed gives a different, reproducible pattern.
    state_ += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return chunk_sizes[(z ^ (z >> 31)) % chunk_sizes.size()];
  }

 private:
  std::uint64_t state_;
};

bool same_error(const FrameRecordError& a, const FrameRecordError& b) {
  return a.offset == b.offset && a.message == b.message;
}

bool same_record(const FrameRecord& a, const FrameRecord& b) {
  return a.offset == b.offset && a.timestamp_ns == b.timestamp_ns && a.keyframe == b.keyframe &&
         a.payload == b.payload;
}

// The header field a reported error points at, in bytes: the error may only
// be reported once the whole field has arrived.
std::size_t field_bytes(const FrameRecordError& error) {
  const std::string_view message = error.message;
  if (message.starts_with("bad magic byte")) {
    return 1;
  }
  QVX_FUZZ_CHECK(message.starts_with("invalid payload length") || message.starts_with("invalid flags"));
  return 4;
}

void check_rewrites_to_its_bytes(const FrameRecord& record, std::span<const std::byte> stream) {
  QVX_FUZZ_CHECK(!record.payload.empty() && record.payload.size() <= quorvex::sender::max_frame_payload_bytes);
  const std::size_t bytes = quorvex::sender::frame_record_header_bytes + record.payload.size();
  QVX_FUZZ_CHECK(record.offset + bytes <= stream.size());
  // An unsigned tick holds every timestamp a record can carry.
  using Ticks = std::chrono::duration<std::uint64_t, std::nano>;
  const std::chrono::sys_time<Ticks> capture_time{Ticks{record.timestamp_ns}};
  quorvex::sender::MemorySink sink;
  QVX_FUZZ_CHECK(quorvex::sender::write_frame(sink, capture_time, record.keyframe, record.payload));
  const auto original = stream.subspan(static_cast<std::size_t>(record.offset), bytes);
  QVX_FUZZ_CHECK(std::ranges::equal(sink.bytes, original));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  Chunker chunker(data[0]);
  const std::span<const std::byte> stream = quorvex::fuzz::as_bytes(data + 1, size - 1);

  FrameRecordReader reader;
  std::vector<FrameRecord> records;
  std::optional<FrameRecordError> error;
  std::size_t fed = 0;
  std::uint64_t next_offset = 0;
  while (fed < stream.size() && !error) {
    const std::size_t before = fed;
    const std::size_t chunk = std::min(chunker.next(), stream.size() - fed);
    reader.feed(stream.subspan(fed, chunk));
    fed += chunk;
    while (true) {
      auto next = reader.next();
      if (!next) {
        error = next.error();
        const std::size_t field = field_bytes(*error);
        QVX_FUZZ_CHECK(error->offset >= next_offset);
        QVX_FUZZ_CHECK(before < error->offset + field && error->offset + field <= fed);
        break;
      }
      if (!*next) {
        break;
      }
      QVX_FUZZ_CHECK((*next)->offset == next_offset);
      next_offset += quorvex::sender::frame_record_header_bytes + (*next)->payload.size();
      QVX_FUZZ_CHECK(reader.offset() == next_offset);
      check_rewrites_to_its_bytes(**next, stream);
      records.push_back(std::move(**next));
    }
  }

  const auto end = reader.finish();
  if (error) {
    // The stream cannot be resynchronised: the error sticks, whatever follows.
    reader.feed(stream);
    const auto again = reader.next();
    QVX_FUZZ_CHECK(!again && same_error(again.error(), *error));
    QVX_FUZZ_CHECK(!end && same_error(end.error(), *error));
  } else if (next_offset == stream.size()) {
    QVX_FUZZ_CHECK(end.has_value());
  } else {
    QVX_FUZZ_CHECK(!end && end.error().offset == next_offset);
    QVX_FUZZ_CHECK(end.error().message.starts_with("truncated record"));
  }

  // Reading the whole stream at once gives the same records or error.
  const auto whole = quorvex::sender::read_frame_records(stream);
  if (error || !end) {
    QVX_FUZZ_CHECK(!whole && same_error(whole.error(), error ? *error : end.error()));
  } else {
    QVX_FUZZ_CHECK(whole && whole->size() == records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      QVX_FUZZ_CHECK(same_record((*whole)[i], records[i]));
    }
  }
  return 0;
}
