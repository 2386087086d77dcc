// qvrx's sequence parameter set reader. Sequence parameter sets written here
// from fields the input chooses (profiles with and without chroma fields,
// scaling lists, every picture-order-count type, field coding, cropping,
// emulation prevention) must read back as the picture size they announce,
// alone and inside an Annex B access unit; arbitrary bytes must never crash
// it nor yield a size outside 1..16384.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "check.h"
#include "sender/h264_sps.h"

namespace {

using quorvex::sender::PictureSize;

class BitWriter {
 public:
  void bit(std::uint32_t value) {
    if (used_ == 0) {
      bytes_.push_back(0);
    }
    bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (value & 1u) << (7 - used_));
    used_ = (used_ + 1) % 8;
  }
  void bits(std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      bit(value >> i);
    }
  }
  // Exp-Golomb, for values up to 2^32 - 2.
  void ue(std::uint32_t value) {
    const std::uint64_t code = std::uint64_t{value} + 1;
    int width = 0;
    while ((code >> width) > 1) {
      ++width;
    }
    bits(0, width);
    for (int i = width; i >= 0; --i) {
      bit(static_cast<std::uint32_t>(code >> i));
    }
  }
  void se(std::int32_t value) {
    ue(value > 0 ? 2 * static_cast<std::uint32_t>(value) - 1 : 2 * static_cast<std::uint32_t>(-value));
  }
  // rbsp_trailing_bits: a stop bit, then zeros to the byte boundary.
  std::vector<std::uint8_t> finish() {
    bit(1);
    return bytes_;
  }

 private:
  std::vector<std::uint8_t> bytes_;
  int used_ = 0;
};

constexpr std::array<std::uint8_t, 10> profiles = {66, 77, 88, 100, 110, 122, 244, 44, 118, 128};

// The profiles whose sequence parameter sets carry chroma format, bit depths
// and scaling matrices.
bool has_chroma_fields(std::uint32_t profile) {
  constexpr std::array<std::uint32_t, 13> with_chroma = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  return std::find(with_chroma.begin(), with_chroma.end(), profile) != with_chroma.end();
}

std::uint32_t small_ue(FuzzedDataProvider& in, std::uint32_t max) { return in.ConsumeIntegralInRange<std::uint32_t>(0, max); }

// A size field: mostly plausible, sometimes anything the code can carry.
std::uint32_t size_ue(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 1100)
                          : in.ConsumeIntegralInRange<std::uint32_t>(0, 0xFFFFFFFEu);
}

// Writes a scaling list the way the reader walks it: deltas until the
// running value reaches 0 or the list is full. Now and then a delta outside
// -128..127, which breaks the unit; false then.
bool scaling_list(FuzzedDataProvider& in, BitWriter& w, int size) {
  int last = 8;
  int next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      const std::int32_t delta = in.ConsumeIntegralInRange(0, 15) == 0
                                     ? in.ConsumeIntegralInRange(-0x7FFFFFFF, 0x7FFFFFFF)
                                     : in.ConsumeIntegralInRange(-128, 127);
      w.se(delta);
      if (delta < -128 || delta > 127) {
        return false;
      }
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
  return true;
}

// The NAL unit with emulation prevention: 03 after every two zero bytes
// that are followed by a byte of 3 or less.
std::vector<std::byte> escaped(std::uint8_t header, const std::vector<std::uint8_t>& rbsp) {
  std::vector<std::byte> nal{std::byte(header)};
  int zeros = 0;
  for (const std::uint8_t byte : rbsp) {
    if (zeros >= 2 && byte <= 3) {
      nal.push_back(std::byte{3});
      zeros = 0;
    }
    nal.push_back(std::byte(byte));
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return nal;
}

void written_sps(FuzzedDataProvider& in) {
  BitWriter w;
  const std::uint32_t profile = in.ConsumeBool() ? in.PickValueInArray(profiles) : in.ConsumeIntegral<std::uint8_t>();
  w.bits(profile, 8);
  w.bits(in.ConsumeIntegral<std::uint16_t>(), 16);
  w.ue(small_ue(in, 31));
  std::uint32_t chroma_format = 1;
  bool separate_planes = false;
  bool broken = false;
  if (has_chroma_fields(profile)) {
    chroma_format = small_ue(in, 3);
    w.ue(chroma_format);
    if (chroma_format == 3) {
      separate_planes = in.ConsumeBool();
      w.bit(separate_planes);
    }
    w.ue(small_ue(in, 6));
    w.ue(small_ue(in, 6));
    w.bit(in.ConsumeBool());
    const bool matrices = in.ConsumeBool();
    w.bit(matrices);
    if (matrices) {
      for (int i = 0; i < (chroma_format == 3 ? 12 : 8); ++i) {
        const bool present = in.ConsumeBool();
        w.bit(present);
        if (present && !scaling_list(in, w, i < 6 ? 16 : 64)) {
          broken = true;
          break;
        }
      }
    }
  }
  w.ue(small_ue(in, 12));
  const std::uint32_t poc_type = small_ue(in, 2);
  w.ue(poc_type);
  if (poc_type == 0) {
    w.ue(small_ue(in, 12));
  } else if (poc_type == 1) {
    w.bit(in.ConsumeBool());
    w.se(in.ConsumeIntegralInRange(-1000, 1000));
    w.se(in.ConsumeIntegralInRange(-1000, 1000));
    const std::uint32_t cycle = small_ue(in, 255);
    w.ue(cycle);
    for (std::uint32_t i = 0; i < cycle; ++i) {
      w.se(in.ConsumeIntegralInRange(-1000, 1000));
    }
  }
  w.ue(small_ue(in, 16));
  w.bit(in.ConsumeBool());
  const std::uint32_t width_mbs_minus1 = size_ue(in);
  const std::uint32_t height_units_minus1 = size_ue(in);
  w.ue(width_mbs_minus1);
  w.ue(height_units_minus1);
  const bool frame_mbs_only = in.ConsumeBool();
  w.bit(frame_mbs_only);
  if (!frame_mbs_only) {
    w.bit(in.ConsumeBool());
  }
  w.bit(in.ConsumeBool());
  std::array<std::uint32_t, 4> crop{};  // left, right, top, bottom
  const bool cropping = in.ConsumeBool();
  w.bit(cropping);
  if (cropping) {
    for (auto& c : crop) {
      c = in.ConsumeBool() ? small_ue(in, 64) : size_ue(in);
      w.ue(c);
    }
  }
  w.bit(0);  // no VUI
  const std::vector<std::uint8_t> rbsp = w.finish();

  // The announced size, straight from the standard's cropping formulas.
  std::optional<PictureSize> expected;
  const bool chroma = chroma_format != 0 && !separate_planes;
  const std::uint64_t crop_x = chroma && chroma_format != 3 ? 2 : 1;
  const std::uint64_t crop_y = (chroma && chroma_format == 1 ? 2 : 1) * (frame_mbs_only ? 1 : 2);
  const std::uint64_t coded_w = (std::uint64_t{width_mbs_minus1} + 1) * 16;
  const std::uint64_t coded_h = (std::uint64_t{height_units_minus1} + 1) * 16 * (frame_mbs_only ? 1 : 2);
  const std::uint64_t cut_x = crop_x * (std::uint64_t{crop[0]} + crop[1]);
  const std::uint64_t cut_y = crop_y * (std::uint64_t{crop[2]} + crop[3]);
  if (!broken && coded_w <= 16384 && coded_h <= 16384 && cut_x < coded_w && cut_y < coded_h) {
    expected = PictureSize{static_cast<int>(coded_w - cut_x), static_cast<int>(coded_h - cut_y)};
  }

  const std::uint8_t header = static_cast<std::uint8_t>(in.ConsumeIntegralInRange(0, 3) << 5 | 7);
  const std::vector<std::byte> nal = escaped(header, rbsp);
  QVX_FUZZ_CHECK(quorvex::sender::sps_picture_size(nal) == expected);

  // The same unit inside an access unit, after an access unit delimiter
  // and before a picture parameter set.
  std::vector<std::byte> access_unit = {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1},
                                        std::byte{0x09}, std::byte{0xF0}, std::byte{0}, std::byte{0},
                                        std::byte{1}};
  access_unit.insert(access_unit.end(), nal.begin(), nal.end());
  for (unsigned b : {0u, 0u, 0u, 1u, 0x68u, 0xCEu, 0x3Cu, 0x80u}) {
    access_unit.push_back(std::byte(b));
  }
  QVX_FUZZ_CHECK(quorvex::sender::annex_b_picture_size(access_unit) == expected);
}

void check_plausible(const std::optional<PictureSize>& size) {
  if (size) {
    QVX_FUZZ_CHECK(size->width >= 1 && size->width <= 16384 && size->height >= 1 && size->height <= 16384);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && data[0] == 'W') {
    FuzzedDataProvider in(data + 1, size - 1);
    written_sps(in);
  } else {
    const auto bytes = quorvex::fuzz::as_bytes(data, size);
    check_plausible(quorvex::sender::sps_picture_size(bytes));
    check_plausible(quorvex::sender::annex_b_picture_size(bytes));
  }
  return 0;
}
