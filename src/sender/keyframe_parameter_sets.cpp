#include "sender/keyframe_parameter_sets.h"

#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>

#include "sender/h264_nal.h"

namespace quorvex::sender {
namespace {

constexpr std::uint8_t nal_type_idr = 5;
constexpr std::uint8_t nal_type_aud = 9;
constexpr std::byte start_code[] = {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}};

std::uint8_t type_of(std::span<const std::byte> unit) {
  return static_cast<std::uint8_t>(std::to_integer<std::uint8_t>(unit[0]) & 0x1F);
}

struct Layout {
  bool has_sps = false;
  bool has_pps = false;
  bool has_idr = false;
  // Byte offsets just after the access unit delimiter and after the last
  // SPS (the end of the unit, before any padding and the next start code).
  std::size_t after_aud = 0;
  std::optional<std::size_t> after_last_sps;
};

// The units' sets, each behind a start code, when the access unit has a set
// of `type`; nothing otherwise.
std::optional<std::vector<std::byte>> sets_of_type(const std::vector<std::span<const std::byte>>& units,
                                                   std::uint8_t type) {
  std::optional<std::vector<std::byte>> sets;
  for (const auto unit : units) {
    if (type_of(unit) == type) {
      if (!sets) {
        sets.emplace();
      }
      sets->insert(sets->end(), std::begin(start_code), std::end(start_code));
      sets->insert(sets->end(), unit.begin(), unit.end());
    }
  }
  return sets;
}

}  // namespace

void KeyframeParameterSets::keep(std::span<const std::byte> parameter_sets) {
  const auto units = nal_units(parameter_sets);
  if (auto sps = sets_of_type(units, nal_type_sps)) {
    sps_ = std::move(*sps);
  }
  if (auto pps = sets_of_type(units, nal_type_pps)) {
    pps_ = std::move(*pps);
  }
}

std::vector<std::byte> KeyframeParameterSets::complete(std::vector<std::byte> access_unit, bool keyframe) {
  const std::span<const std::byte> bytes(access_unit);
  const auto units = nal_units(bytes);
  Layout layout;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const std::uint8_t type = type_of(units[i]);
    const auto end = static_cast<std::size_t>(units[i].data() + units[i].size() - bytes.data());
    if (i == 0 && type == nal_type_aud) {
      layout.after_aud = end;
    }
    if (type == nal_type_sps) {
      layout.has_sps = true;
      layout.after_last_sps = end;
    }
    layout.has_pps = layout.has_pps || type == nal_type_pps;
    layout.has_idr = layout.has_idr || type == nal_type_idr;
  }
  if (layout.has_sps || layout.has_pps) {
    keep(bytes);
  }
  // An IDR picture is where a decoder may start even when the encoder did
  // not mark the sample as a clean point.
  if (!keyframe && !layout.has_idr) {
    return access_unit;
  }
  const bool add_sps = !layout.has_sps && !sps_.empty();
  const bool add_pps = !layout.has_pps && !pps_.empty();
  if (!add_sps && !add_pps) {
    return access_unit;
  }
  std::vector<std::byte> completed;
  completed.reserve(access_unit.size() + sps_.size() + pps_.size());
  const auto head = access_unit.begin() + static_cast<std::ptrdiff_t>(layout.after_aud);
  completed.insert(completed.end(), access_unit.begin(), head);
  if (add_sps) {
    completed.insert(completed.end(), sps_.begin(), sps_.end());
  }
  if (add_pps && !layout.after_last_sps) {
    completed.insert(completed.end(), pps_.begin(), pps_.end());
  }
  if (add_pps && layout.after_last_sps) {
    const auto after_sps = access_unit.begin() + static_cast<std::ptrdiff_t>(*layout.after_last_sps);
    completed.insert(completed.end(), head, after_sps);
    completed.insert(completed.end(), pps_.begin(), pps_.end());
    completed.insert(completed.end(), after_sps, access_unit.end());
  } else {
    completed.insert(completed.end(), head, access_unit.end());
  }
  return completed;
}

}  // namespace quorvex::sender
