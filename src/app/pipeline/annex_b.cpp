#include "app/pipeline/annex_b.h"

#include <cstdint>
#include <string>
#include <utility>

namespace quorvex::app {
namespace {

constexpr std::size_t length_bytes = 4;

// A start code is as long as the length it replaces, so the conversion
// rewrites the prefixes where they are and the payload needs no second copy.
Result<std::vector<std::byte>> convert_length_prefixed(std::vector<std::byte> bytes) {
  const std::size_t n = bytes.size();
  if (n < length_bytes) {
    return fail(std::string(invalid_h264_message));
  }
  std::size_t p = 0;
  while (p + length_bytes <= n) {
    const std::uint64_t length = (std::to_integer<std::uint64_t>(bytes[p]) << 24) |
                                 (std::to_integer<std::uint64_t>(bytes[p + 1]) << 16) |
                                 (std::to_integer<std::uint64_t>(bytes[p + 2]) << 8) |
                                 std::to_integer<std::uint64_t>(bytes[p + 3]);
    if (length == 0 || length > n - p - length_bytes) {
      return fail(std::string(invalid_length_prefixed_message));
    }
    bytes[p] = std::byte{0};
    bytes[p + 1] = std::byte{0};
    bytes[p + 2] = std::byte{0};
    bytes[p + 3] = std::byte{1};
    p += length_bytes + static_cast<std::size_t>(length);
  }
  if (p != n) {
    return fail(std::string(invalid_h264_message));
  }
  return bytes;
}

}  // namespace

bool begins_with_start_code(std::span<const std::byte> bytes) {
  const auto at = [&](std::size_t i) { return std::to_integer<unsigned>(bytes[i]); };
  if (bytes.size() >= 3 && at(0) == 0 && at(1) == 0 && at(2) == 1) {
    return true;
  }
  return bytes.size() >= 4 && at(0) == 0 && at(1) == 0 && at(2) == 0 && at(3) == 1;
}

Result<std::vector<std::byte>> AnnexBNormaliser::normalise(std::vector<std::byte> bytes) {
  if (!framing_) {
    framing_ = begins_with_start_code(bytes) ? H264Framing::StartCodes : H264Framing::LengthPrefixed;
  }
  if (*framing_ == H264Framing::LengthPrefixed) {
    return convert_length_prefixed(std::move(bytes));
  }
  if (!begins_with_start_code(bytes)) {
    return fail(std::string(invalid_h264_message));
  }
  return bytes;
}

}  // namespace quorvex::app
