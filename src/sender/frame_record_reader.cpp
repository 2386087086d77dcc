#include "sender/frame_record_reader.h"

#include <array>
#include <charconv>
#include <string_view>
#include <utility>

#include "sender/windows_encoder.h"

namespace quorvex::sender {
namespace {

template <class T>
[[nodiscard]] T read_little_endian(std::span<const std::byte> bytes) {
  T value = 0;
  for (std::size_t i = sizeof(T); i > 0; --i) {
    value = static_cast<T>((value << 8) | std::to_integer<T>(bytes[i - 1]));
  }
  return value;
}

[[nodiscard]] std::string decimal(std::uint64_t value) {
  std::array<char, 20> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  return std::string(digits.data(), result.ptr);
}

[[nodiscard]] FrameRecordError make_error(std::uint64_t offset, std::string_view what,
                                          std::string_view detail) {
  std::string message(what);
  message += " at offset ";
  message += decimal(offset);
  message += detail;
  return {offset, std::move(message)};
}

constexpr std::size_t length_field = 8;
constexpr std::size_t timestamp_field = 12;
constexpr std::size_t flags_field = 20;

// Once this much consumed input sits in front of the buffer, it is dropped;
// smaller amounts are cheaper to keep than to move.
constexpr std::size_t compaction_threshold_bytes = 1 << 20;

}  // namespace

void FrameRecordReader::feed(std::span<const std::byte> bytes) {
  if (error_) {
    return;
  }
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ >= compaction_threshold_bytes) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::expected<std::optional<FrameRecord>, FrameRecordError> FrameRecordReader::next() {
  if (error_) {
    return std::unexpected(*error_);
  }
  const auto available = std::span<const std::byte>(buffer_).subspan(start_);
  const auto magic = std::as_bytes(std::span(frame_record_magic));
  for (std::size_t i = 0; i < magic.size() && i < available.size(); ++i) {
    if (available[i] != magic[i]) {
      error_ = make_error(offset_ + i, "bad magic byte", " (expected \"QVRX2641\")");
      return std::unexpected(*error_);
    }
  }
  if (available.size() < timestamp_field) {
    return std::nullopt;
  }
  const auto length = read_little_endian<std::uint32_t>(available.subspan(length_field, 4));
  if (length == 0 || length > max_frame_payload_bytes) {
    error_ = make_error(offset_ + length_field, "invalid payload length",
                        ": " + decimal(length) + " (allowed 1 to 16777216)");
    return std::unexpected(*error_);
  }
  if (available.size() < frame_record_header_bytes) {
    return std::nullopt;
  }
  const auto flags = read_little_endian<std::uint32_t>(available.subspan(flags_field, 4));
  if (flags > 1) {
    error_ = make_error(offset_ + flags_field, "invalid flags",
                        ": " + decimal(flags) + " (allowed 0 or 1)");
    return std::unexpected(*error_);
  }
  const std::size_t record_bytes = frame_record_header_bytes + length;
  if (available.size() < record_bytes) {
    return std::nullopt;
  }
  const auto payload = available.subspan(frame_record_header_bytes, length);
  FrameRecord record{
      .offset = offset_,
      .timestamp_ns = read_little_endian<std::uint64_t>(available.subspan(timestamp_field, 8)),
      .keyframe = flags == 1,
      .payload = std::vector<std::byte>(payload.begin(), payload.end()),
  };
  start_ += record_bytes;
  offset_ += record_bytes;
  return record;
}

std::expected<void, FrameRecordError> FrameRecordReader::finish() const {
  if (error_) {
    return std::unexpected(*error_);
  }
  const std::size_t left_over = buffer_.size() - start_;
  if (left_over == 0) {
    return {};
  }
  if (left_over < frame_record_header_bytes) {
    return std::unexpected(make_error(
        offset_, "truncated record",
        ": stream ends after " + decimal(left_over) + " of 24 header bytes"));
  }
  const auto length = read_little_endian<std::uint32_t>(
      std::span<const std::byte>(buffer_).subspan(start_ + length_field, 4));
  return std::unexpected(make_error(
      offset_, "truncated record",
      ": stream ends after " + decimal(left_over) + " of " +
          decimal(frame_record_header_bytes + length) + " record bytes"));
}

std::expected<std::vector<FrameRecord>, FrameRecordError> read_frame_records(
    std::span<const std::byte> stream) {
  FrameRecordReader reader;
  reader.feed(stream);
  std::vector<FrameRecord> records;
  while (true) {
    auto record = reader.next();
    if (!record) {
      return std::unexpected(record.error());
    }
    if (!*record) {
      break;
    }
    records.push_back(std::move(**record));
  }
  if (auto end = reader.finish(); !end) {
    return std::unexpected(end.error());
  }
  return records;
}

}  // namespace quorvex::sender
