// Taking filler NAL units out of an access unit (what --drop-filler does to
// every record), on arbitrary bytes and on access units built from units of
// fuzzed types: no filler unit is left, every other unit comes out with the
// same bytes in the same order, the count of removed bytes is the length
// lost, bytes before the first start code stay, and a second pass removes
// nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "check.h"
#include "sender/h264_nal.h"

namespace {

using quorvex::sender::nal_units;
using quorvex::sender::remove_filler_units;
using Bytes = std::vector<std::byte>;

constexpr std::uint8_t filler_type = 12;

std::uint8_t type_of(std::span<const std::byte> unit) {
  return static_cast<std::uint8_t>(std::to_integer<std::uint8_t>(unit[0]) & 0x1F);
}

// The units that are not filler, each as its bytes.
std::vector<Bytes> kept_units(const Bytes& access_unit) {
  std::vector<Bytes> kept;
  for (const auto unit : nal_units(access_unit)) {
    if (type_of(unit) != filler_type) {
      kept.emplace_back(unit.begin(), unit.end());
    }
  }
  return kept;
}

void check(const Bytes& input) {
  Bytes output = input;
  const std::size_t removed = remove_filler_units(output);
  QVX_FUZZ_CHECK(removed == input.size() - output.size());
  for (const auto unit : nal_units(output)) {
    QVX_FUZZ_CHECK(type_of(unit) != filler_type);
  }
  QVX_FUZZ_CHECK(kept_units(output) == kept_units(input));
  Bytes again = output;
  QVX_FUZZ_CHECK(remove_filler_units(again) == 0 && again == output);
}

// An access unit from units of fuzzed types and bodies, each behind a three-
// or four-byte start code, with trailing zero bytes now and then.
Bytes built(FuzzedDataProvider& in) {
  Bytes out;
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 8);
  for (std::size_t u = 0; u < count && in.remaining_bytes() > 0; ++u) {
    if (in.ConsumeBool()) {
      out.push_back(std::byte{0});
    }
    out.insert(out.end(), {std::byte{0}, std::byte{0}, std::byte{1}});
    const std::uint8_t type = in.ConsumeBool() ? filler_type : in.ConsumeIntegralInRange<std::uint8_t>(1, 31);
    out.push_back(std::byte(static_cast<std::uint8_t>(type | (in.ConsumeIntegralInRange<std::uint8_t>(0, 3) << 5))));
    // A body without 00 00 0x, as emulation prevention guarantees, ending in
    // a byte other than zero.
    const std::size_t size = in.ConsumeIntegralInRange<std::size_t>(0, 64);
    for (std::size_t i = 0; i < size; ++i) {
      out.push_back(std::byte(in.ConsumeIntegralInRange<std::uint8_t>(1, 255)));
    }
    if (in.ConsumeBool()) {
      out.insert(out.end(), {std::byte{0}, std::byte{0}});
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto bytes = quorvex::fuzz::as_bytes(data, size);
  check(Bytes(bytes.begin(), bytes.end()));
  FuzzedDataProvider in(data, size);
  const Bytes access_unit = built(in);
  check(access_unit);
  // Built units survive exactly: the bytes before the first start code are
  // none, so the output is the input with only filler units cut.
  Bytes output = access_unit;
  static_cast<void>(remove_filler_units(output));
  QVX_FUZZ_CHECK(output.empty() || output[0] == std::byte{0});
  return 0;
}
