#include "qvrx/annex_b.h"

namespace quorvex::tools {

std::vector<std::uint8_t> nal_unit_types(std::span<const std::byte> annex_b) {
  constexpr std::uint8_t nal_type_mask = 0x1F;
  std::vector<std::uint8_t> types;
  for (std::size_t i = 0; i + 3 <= annex_b.size(); ++i) {
    if (annex_b[i] == std::byte{0} && annex_b[i + 1] == std::byte{0} && annex_b[i + 2] == std::byte{1}) {
      if (i + 3 < annex_b.size()) {
        types.push_back(static_cast<std::uint8_t>(std::to_integer<std::uint8_t>(annex_b[i + 3]) & nal_type_mask));
      }
      i += 2;
    }
  }
  return types;
}

}  // namespace quorvex::tools
