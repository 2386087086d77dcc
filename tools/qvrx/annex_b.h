// The NAL unit types of an H.264 Annex B access unit, for showing what a
// frame record carries. Pure function; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvex::tools {

// The type (low five bits of the header byte) of every NAL unit that follows
// a 00 00 01 start code (a four-byte 00 00 00 01 contains one), in order.
[[nodiscard]] std::vector<std::uint8_t> nal_unit_types(std::span<const std::byte> annex_b);

}  // namespace quorvex::tools
