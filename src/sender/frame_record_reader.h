// Splits a frame-record byte stream (as write_frame produces it) back into
// records, for the parent side and our tools. Incremental: feed it chunks as
// they arrive and take complete records out. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvex::sender {

struct FrameRecord {
  // Stream offset of the record's first magic byte.
  std::uint64_t offset = 0;
  std::uint64_t timestamp_ns = 0;
  bool keyframe = false;
  std::vector<std::byte> payload;
};

struct FrameRecordError {
  // Stream offset of the first byte that cannot belong to a valid record, or,
  // for a cut-off stream, of the unfinished record.
  std::uint64_t offset = 0;
  std::string message;
};

class FrameRecordReader {
 public:
  // Appends the next chunk of the stream. Input after an error is ignored.
  void feed(std::span<const std::byte> bytes);

  // The next complete record; nothing while more bytes are needed. A wrong
  // magic byte, a length outside 1..16 MiB or flags other than 0 and 1 are
  // reported as soon as the offending byte has arrived, and from then on
  // every call returns that same error: the stream cannot be resynchronised.
  [[nodiscard]] std::expected<std::optional<FrameRecord>, FrameRecordError> next();

  // At end of stream, once next() has nothing more: fails when bytes of an
  // unfinished record are left over (or an error was already found).
  [[nodiscard]] std::expected<void, FrameRecordError> finish() const;

  // Stream offset just past the last record handed out.
  [[nodiscard]] std::uint64_t offset() const { return offset_; }

 private:
  std::vector<std::byte> buffer_;
  // Index in buffer_ of the byte at offset_; bytes before it are consumed.
  std::size_t start_ = 0;
  std::uint64_t offset_ = 0;
  std::optional<FrameRecordError> error_;
};

// Reads a whole stream at once: every record, or the first error.
[[nodiscard]] std::expected<std::vector<FrameRecord>, FrameRecordError> read_frame_records(
    std::span<const std::byte> stream);

}  // namespace quorvex::sender
