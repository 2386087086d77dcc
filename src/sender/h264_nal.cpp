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
  // A filler unit goes out from the end of the unit before it (the first
  // unit: from the zero run of its start code) to its own end (the last
  // unit: the end of the data), so the zero bytes between two units go with
  // the unit after them and taking a filler out never shortens the start
  // code of the unit that follows.
  const std::span<const std::byte> all(annex_b);
  const auto units = nal_units(all);
  std::size_t write = 0;
  std::size_t kept_from = 0;  // bytes from here on are kept until a filler
  std::size_t previous_end = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const auto begin = static_cast<std::size_t>(units[i].data() - all.data());
    const std::size_t end = i + 1 == units.size() ? all.size() : begin + units[i].size();
    if (type_of(units[i]) == nal_type_filler) {
      std::size_t from = previous_end;
      if (i == 0) {
        from = begin - 3;  // the 00 00 01 before it, and the zeros before that
        while (from > 0 && annex_b[from - 1] == std::byte{0}) {
          --from;
        }
      }
      std::copy(annex_b.begin() + static_cast<std::ptrdiff_t>(kept_from),
                annex_b.begin() + static_cast<std::ptrdiff_t>(from), annex_b.begin() + static_cast<std::ptrdiff_t>(write));
      write += from - kept_from;
      kept_from = end;
    }
    previous_end = end;
  }
  std::copy(annex_b.begin() + static_cast<std::ptrdiff_t>(kept_from), annex_b.end(),
            annex_b.begin() + static_cast<std::ptrdiff_t>(write));
  write += annex_b.size() - kept_from;
  const std::size_t removed = annex_b.size() - write;
  annex_b.resize(write);
  return removed;
}

}  // namespace quorvex::sender
