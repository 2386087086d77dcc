#include "sender/h264_nal.h"

#include <algorithm>
#include <cstddef>

namespace quorvex::sender {
namespace {

constexpr std::uint8_t nal_type_mask = 0x1F;

std::uint8_t type_of(std::span<const std::byte> unit) {
  return static_cast<std::uint8_t>(std::to_integer<std::uint8_t>(unit[0]) & nal_type_mask);
}

}  // namespace

std::vector<std::span<const std::byte>> nal_units(std::span<const std::byte> annex_b) {
  std::vector<std::span<const std::byte>> units;
  std::size_t unit_start = 0;
  bool in_unit = false;
  auto close_unit = [&](std::size_t end) {
    while (end > unit_start && annex_b[end - 1] == std::byte{0}) {
      --end;
    }
    if (in_unit && end > unit_start) {
      units.push_back(annex_b.subspan(unit_start, end - unit_start));
    }
  };
  for (std::size_t i = 0; i + 3 <= annex_b.size(); ++i) {
    if (annex_b[i] == std::byte{0} && annex_b[i + 1] == std::byte{0} && annex_b[i + 2] == std::byte{1}) {
      close_unit(i);
      unit_start = i + 3;
      in_unit = true;
      i += 2;
    }
  }
  close_unit(annex_b.size());
  return units;
}

std::vector<std::uint8_t> nal_unit_types(std::span<const std::byte> annex_b) {
  std::vector<std::uint8_t> types;
  for (const auto unit : nal_units(annex_b)) {
    types.push_back(type_of(unit));
  }
  return types;
}

std::vector<std::byte> annex_b_parameter_sets(std::span<const std::byte> annex_b) {
  constexpr std::byte start_code[] = {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}};
  std::vector<std::byte> sets;
  bool has_sps = false;
  for (const auto unit : nal_units(annex_b)) {
    const std::uint8_t type = type_of(unit);
    if (type == nal_type_sps || type == nal_type_pps) {
      has_sps = has_sps || type == nal_type_sps;
      sets.insert(sets.end(), std::begin(start_code), std::end(start_code));
      sets.insert(sets.end(), unit.begin(), unit.end());
    }
  }
  return has_sps ? sets : std::vector<std::byte>{};
}

std::size_t remove_filler_units(std::vector<std::byte>& annex_b) {
  // A unit runs from the first zero before its 00 00 01 up to the first zero
  // before the next one: the zero bytes between two units (a four-byte start
  // code, trailing zeros) go with the unit after them, so taking a filler
  // unit out never shortens the start code of the unit that follows.
  // Emulation prevention keeps 00 00 01 out of every unit's body.
  const std::size_t size = annex_b.size();
  std::size_t write = 0;
  std::size_t unit_begin = 0;  // where the current unit's zero run starts
  std::size_t header = 0;      // its header byte; 0 before the first unit
  const auto close_unit = [&](std::size_t end) {
    const bool filler =
        header != 0 && header < size && (std::to_integer<std::uint8_t>(annex_b[header]) & nal_type_mask) ==
                                            nal_type_filler;
    if (!filler) {
      std::copy(annex_b.begin() + static_cast<std::ptrdiff_t>(unit_begin),
                annex_b.begin() + static_cast<std::ptrdiff_t>(end), annex_b.begin() + static_cast<std::ptrdiff_t>(write));
      write += end - unit_begin;
    }
  };
  std::size_t zeros_from = 0;  // start of the run of zero bytes before i
  for (std::size_t i = 0; i < size; ++i) {
    if (annex_b[i] != std::byte{0}) {
      if (annex_b[i] == std::byte{1} && i - zeros_from >= 2) {
        close_unit(zeros_from);
        unit_begin = zeros_from;
        header = i + 1;
      }
      zeros_from = i + 1;
    }
  }
  close_unit(size);
  const std::size_t removed = size - write;
  annex_b.resize(write);
  return removed;
}

}  // namespace quorvex::sender
