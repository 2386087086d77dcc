#include "sender/h264_sps.h"

#include <cstdint>
#include <vector>

namespace quorvex::sender {
namespace {

constexpr std::uint8_t sps_nal_type = 7;

// Reads the RBSP bit by bit; a read past the end sets `overrun` and yields 0,
// so a cut-off unit is detected once at the end instead of at every read.
class BitReader {
 public:
  explicit BitReader(std::vector<std::uint8_t> rbsp) : rbsp_(std::move(rbsp)) {}

  std::uint32_t bit() {
    if (position_ >= rbsp_.size() * 8) {
      overrun = true;
      return 0;
    }
    const std::uint32_t value = (rbsp_[position_ / 8] >> (7 - position_ % 8)) & 1u;
    ++position_;
    return value;
  }

  std::uint32_t bits(int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      value = (value << 1) | bit();
    }
    return value;
  }

  // Exp-Golomb; values beyond 32 bits mark the unit as broken.
  std::uint32_t ue() {
    int zeros = 0;
    while (bit() == 0) {
      if (overrun || ++zeros > 31) {
        overrun = true;
        return 0;
      }
    }
    return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + bits(zeros));
  }

  std::int32_t se() {
    const std::uint32_t code = ue();
    const auto magnitude = static_cast<std::int32_t>((code + 1) / 2);
    return (code & 1u) != 0 ? magnitude : -magnitude;
  }

  bool overrun = false;

 private:
  std::vector<std::uint8_t> rbsp_;
  std::size_t position_ = 0;
};

void skip_scaling_list(BitReader& reader, int size) {
  std::int32_t last = 8;
  std::int32_t next = 8;
  for (int j = 0; j < size && !reader.overrun; ++j) {
    if (next != 0) {
      // A delta lies in -128..127; a larger one marks the unit as broken
      // before the sum can overflow.
      const std::int32_t delta = reader.se();
      if (delta < -128 || delta > 127) {
        reader.overrun = true;
        return;
      }
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
}

bool has_chroma_format_fields(std::uint32_t profile_idc) {
  switch (profile_idc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
      return true;
    default:
      return false;
  }
}

// The VUI up to its video signal type; the reader stands just after the
// frame cropping fields.
std::optional<VideoSignalType> read_video_signal(BitReader& r) {
  if (r.bit() == 0) {
    return std::nullopt;  // no VUI
  }
  if (r.bit() != 0) {
    constexpr std::uint32_t extended_sar = 255;
    if (r.bits(8) == extended_sar) {
      r.bits(32);  // sar_width, sar_height
    }
  }
  if (r.bit() != 0) {
    r.bit();  // overscan_appropriate_flag
  }
  if (r.bit() == 0) {
    return std::nullopt;  // no video signal type
  }
  r.bits(3);  // video_format
  VideoSignalType signal;
  signal.full_range = r.bit() != 0;
  if (r.bit() != 0) {
    signal.colour_primaries = static_cast<std::uint8_t>(r.bits(8));
    signal.transfer_characteristics = static_cast<std::uint8_t>(r.bits(8));
    signal.matrix_coefficients = static_cast<std::uint8_t>(r.bits(8));
  }
  if (r.overrun) {
    return std::nullopt;
  }
  return signal;
}

}  // namespace

std::optional<SequenceParameterSet> parse_sps(std::span<const std::byte> nal_unit) {
  if (nal_unit.empty() || (std::to_integer<std::uint8_t>(nal_unit[0]) & 0x1F) != sps_nal_type) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> rbsp;
  int zeros = 0;
  for (std::size_t i = 1; i < nal_unit.size(); ++i) {
    const auto byte = std::to_integer<std::uint8_t>(nal_unit[i]);
    if (zeros >= 2 && byte == 3) {
      zeros = 0;
      continue;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    rbsp.push_back(byte);
  }
  BitReader r(std::move(rbsp));
  const std::uint32_t profile_idc = r.bits(8);
  r.bits(16);  // constraint flags, level
  r.ue();      // seq_parameter_set_id
  std::uint32_t chroma_format_idc = 1;
  bool separate_colour_planes = false;
  if (has_chroma_format_fields(profile_idc)) {
    chroma_format_idc = r.ue();
    if (chroma_format_idc > 3) {
      return std::nullopt;
    }
    if (chroma_format_idc == 3) {
      separate_colour_planes = r.bit() != 0;
    }
    r.ue();   // bit depth luma
    r.ue();   // bit depth chroma
    r.bit();  // transform bypass
    if (r.bit() != 0) {
      const int lists = chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists && !r.overrun; ++i) {
        if (r.bit() != 0) {
          skip_scaling_list(r, i < 6 ? 16 : 64);
        }
      }
    }
  }
  r.ue();  // log2_max_frame_num - 4
  const std::uint32_t poc_type = r.ue();
  if (poc_type == 0) {
    r.ue();
  } else if (poc_type == 1) {
    r.bit();
    r.se();
    r.se();
    const std::uint32_t cycle = r.ue();
    if (cycle > 255) {
      return std::nullopt;
    }
    for (std::uint32_t i = 0; i < cycle; ++i) {
      r.se();
    }
  } else if (poc_type != 2) {
    return std::nullopt;
  }
  r.ue();   // max_num_ref_frames
  r.bit();  // gaps allowed
  const std::uint64_t width_mbs = std::uint64_t{r.ue()} + 1;
  const std::uint64_t height_map_units = std::uint64_t{r.ue()} + 1;
  const bool frame_mbs_only = r.bit() != 0;
  if (!frame_mbs_only) {
    r.bit();  // adaptive frame/field
  }
  r.bit();  // direct 8x8 inference
  std::uint64_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
  if (r.bit() != 0) {
    crop_left = r.ue();
    crop_right = r.ue();
    crop_top = r.ue();
    crop_bottom = r.ue();
  }
  if (r.overrun) {
    return std::nullopt;
  }
  const bool has_chroma = chroma_format_idc != 0 && !separate_colour_planes;
  const std::uint64_t crop_unit_x = has_chroma && chroma_format_idc != 3 ? 2 : 1;
  const std::uint64_t crop_unit_y = (has_chroma && chroma_format_idc == 1 ? 2 : 1) * (frame_mbs_only ? 1 : 2);
  const std::uint64_t coded_width = width_mbs * 16;
  const std::uint64_t coded_height = height_map_units * 16 * (frame_mbs_only ? 1 : 2);
  const std::uint64_t cut_x = crop_unit_x * (crop_left + crop_right);
  const std::uint64_t cut_y = crop_unit_y * (crop_top + crop_bottom);
  constexpr std::uint64_t largest = 16384;
  if (coded_width > largest || coded_height > largest || cut_x >= coded_width || cut_y >= coded_height) {
    return std::nullopt;
  }
  SequenceParameterSet sps;
  sps.size = PictureSize{static_cast<int>(coded_width - cut_x), static_cast<int>(coded_height - cut_y)};
  sps.video_signal = read_video_signal(r);
  return sps;
}

std::optional<PictureSize> sps_picture_size(std::span<const std::byte> nal_unit) {
  const auto sps = parse_sps(nal_unit);
  return sps ? std::optional<PictureSize>(sps->size) : std::nullopt;
}

std::optional<SequenceParameterSet> annex_b_sps(std::span<const std::byte> annex_b) {
  for (std::size_t i = 0; i + 3 < annex_b.size(); ++i) {
    if (annex_b[i] != std::byte{0} || annex_b[i + 1] != std::byte{0} || annex_b[i + 2] != std::byte{1}) {
      continue;
    }
    const std::size_t start = i + 3;
    if ((std::to_integer<std::uint8_t>(annex_b[start]) & 0x1F) != sps_nal_type) {
      i += 2;
      continue;
    }
    std::size_t end = start;
    while (end + 2 < annex_b.size() &&
           !(annex_b[end] == std::byte{0} && annex_b[end + 1] == std::byte{0} &&
             (annex_b[end + 2] == std::byte{1} || annex_b[end + 2] == std::byte{0}))) {
      ++end;
    }
    if (end + 2 >= annex_b.size()) {
      end = annex_b.size();
    }
    return parse_sps(annex_b.subspan(start, end - start));
  }
  return std::nullopt;
}

std::optional<PictureSize> annex_b_picture_size(std::span<const std::byte> annex_b) {
  const auto sps = annex_b_sps(annex_b);
  return sps ? std::optional<PictureSize>(sps->size) : std::nullopt;
}

}  // namespace quorvex::sender
