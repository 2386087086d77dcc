// The NAL units of an H.264 Annex B access unit: their types, for showing
// what a frame record carries, and the parameter sets a container keeps in
// its header. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvex::sender {

inline constexpr std::uint8_t nal_type_sps = 7;
inline constexpr std::uint8_t nal_type_pps = 8;
// Filler data: padding a constant-bitrate encoder adds to reach its rate;
// it carries no picture.
inline constexpr std::uint8_t nal_type_filler = 12;

// Every NAL unit that follows a 00 00 01 start code (a four-byte 00 00 00 01
// contains one), from its header byte up to the next start code, without the
// zero bytes that may pad it; empty units are left out.
[[nodiscard]] std::vector<std::span<const std::byte>> nal_units(std::span<const std::byte> annex_b);

// The type (low five bits of the header byte) of every NAL unit, in order.
[[nodiscard]] std::vector<std::uint8_t> nal_unit_types(std::span<const std::byte> annex_b);

// The sequence and picture parameter sets of the access unit, each behind a
// four-byte start code, in stream order; empty when it has no SPS.
[[nodiscard]] std::vector<std::byte> annex_b_parameter_sets(std::span<const std::byte> annex_b);

// Takes every filler NAL unit out of the access unit, in place, each with
// its start code and the zero bytes before that; every other byte stays as
// it was. Returns how many bytes went.
std::size_t remove_filler_units(std::vector<std::byte>& annex_b);

}  // namespace quorvex::sender
