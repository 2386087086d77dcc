// The Annex B normaliser of encoder output, two ways:
// - built streams: outputs assembled from NAL units of sizes the input
//   chooses (1 and 256..511 bytes among them, the sizes whose length field
//   reads like a start code) in one framing for the whole stream; every
//   output must come back as exactly those units behind start codes;
// - raw streams: arbitrary buffers; the framing is decided by the first one
//   and never changes, a start-code stream passes through unchanged, and a
//   length-prefixed one converts (or fails) exactly as an independent reading
//   of its lengths says.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/pipeline/annex_b.h"
#include "check.h"

namespace {

using quorvex::app::AnnexBNormaliser;
using quorvex::app::H264Framing;
using Bytes = std::vector<std::byte>;

constexpr std::size_t max_outputs = 8;
constexpr std::size_t max_units = 6;

bool begins_with_start_code(const Bytes& b) {
  const auto at = [&](std::size_t i) { return std::to_integer<int>(b[i]); };
  return (b.size() >= 3 && at(0) == 0 && at(1) == 0 && at(2) == 1) ||
         (b.size() >= 4 && at(0) == 0 && at(1) == 0 && at(2) == 0 && at(3) == 1);
}

void append_length(Bytes& out, std::size_t length) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(std::byte(static_cast<std::uint8_t>(length >> shift)));
  }
}

void append_start_code(Bytes& out) {
  for (unsigned b : {0u, 0u, 0u, 1u}) {
    out.push_back(std::byte(b));
  }
}

std::size_t unit_size(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return 1;
    case 1: return in.ConsumeIntegralInRange<std::size_t>(256, 511);
    default: return in.ConsumeIntegralInRange<std::size_t>(2, 600);
  }
}

// One NAL unit: a header byte, then bytes with no start code inside (as the
// encoder's emulation prevention guarantees), so that a start-code stream is
// well formed too.
Bytes make_unit(FuzzedDataProvider& in, std::size_t size, std::uint8_t header) {
  Bytes unit(size);
  unit[0] = std::byte(header);
  for (std::size_t i = 1; i < size; ++i) {
    unit[i] = std::byte(in.ConsumeIntegralInRange<std::uint8_t>(1, 255));
  }
  return unit;
}

void built_stream(FuzzedDataProvider& in) {
  const bool length_prefixed = in.ConsumeBool();
  AnnexBNormaliser normaliser;
  const std::size_t outputs = in.ConsumeIntegralInRange<std::size_t>(1, max_outputs);
  for (std::size_t o = 0; o < outputs; ++o) {
    std::vector<Bytes> units;
    if (o == 0) {
      // The first output opens with the sequence parameter set, whose size
      // is never one that reads like a start code.
      units.push_back(make_unit(in, in.ConsumeIntegralInRange<std::size_t>(4, 64), 0x67));
    }
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(o == 0 ? 0 : 1, max_units);
    for (std::size_t u = 0; u < count; ++u) {
      units.push_back(make_unit(in, unit_size(in), in.ConsumeIntegral<std::uint8_t>() | 0x01));
    }
    Bytes written;
    Bytes expected;
    for (const Bytes& unit : units) {
      if (length_prefixed) {
        append_length(written, unit.size());
      } else if (in.ConsumeBool()) {
        append_start_code(written);
      } else {
        written.insert(written.end(), {std::byte{0}, std::byte{0}, std::byte{1}});
      }
      written.insert(written.end(), unit.begin(), unit.end());
      append_start_code(expected);
      expected.insert(expected.end(), unit.begin(), unit.end());
    }
    const Bytes input = written;
    auto payload = normaliser.normalise(std::move(written));
    QVX_FUZZ_CHECK(payload.has_value());
    QVX_FUZZ_CHECK(*payload == (length_prefixed ? expected : input));
    QVX_FUZZ_CHECK(normaliser.framing() ==
                   (length_prefixed ? H264Framing::LengthPrefixed : H264Framing::StartCodes));
  }
}

// What a length-prefixed buffer must convert to, read independently of the
// normaliser: the error text, or the payload.
std::optional<std::string> length_prefixed_error(const Bytes& b) {
  if (b.size() < 4) {
    return std::string(quorvex::app::invalid_h264_message);
  }
  std::size_t p = 0;
  while (b.size() - p >= 4) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      length = length << 8 | std::to_integer<std::size_t>(b[p + i]);
    }
    if (length == 0 || length > b.size() - p - 4) {
      return std::string(quorvex::app::invalid_length_prefixed_message);
    }
    p += 4 + length;
  }
  if (p != b.size()) {
    return std::string(quorvex::app::invalid_h264_message);
  }
  return std::nullopt;
}

void raw_stream(FuzzedDataProvider& in) {
  AnnexBNormaliser normaliser;
  std::optional<H264Framing> framing;
  for (std::size_t o = 0; o < max_outputs && in.remaining_bytes() > 0; ++o) {
    const Bytes input = in.ConsumeBytes<std::byte>(in.ConsumeIntegralInRange<std::size_t>(0, 1024));
    if (!framing) {
      framing = begins_with_start_code(input) ? H264Framing::StartCodes : H264Framing::LengthPrefixed;
    }
    auto payload = normaliser.normalise(input);
    QVX_FUZZ_CHECK(normaliser.framing() == framing);
    if (*framing == H264Framing::StartCodes) {
      if (begins_with_start_code(input)) {
        QVX_FUZZ_CHECK(payload && *payload == input);
      } else {
        QVX_FUZZ_CHECK(!payload && payload.error().message == quorvex::app::invalid_h264_message);
      }
      continue;
    }
    const auto error = length_prefixed_error(input);
    if (error) {
      QVX_FUZZ_CHECK(!payload && payload.error().message == *error);
      continue;
    }
    // Each 4-byte length became a 4-byte start code; nothing else moved.
    QVX_FUZZ_CHECK(payload && payload->size() == input.size());
    std::size_t p = 0;
    while (p < input.size()) {
      std::size_t length = 0;
      for (std::size_t i = 0; i < 4; ++i) {
        length = length << 8 | std::to_integer<std::size_t>(input[p + i]);
        QVX_FUZZ_CHECK((*payload)[p + i] == std::byte(i == 3 ? 1 : 0));
      }
      QVX_FUZZ_CHECK(std::equal(input.begin() + static_cast<std::ptrdiff_t>(p + 4),
                                input.begin() + static_cast<std::ptrdiff_t>(p + 4 + length),
                                payload->begin() + static_cast<std::ptrdiff_t>(p + 4)));
      p += 4 + length;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    built_stream(in);
  } else {
    raw_stream(in);
  }
  return 0;
}
