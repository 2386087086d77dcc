// Status codes the host stand-in reports beyond the shared list, with the
// values Windows uses for the same conditions, and the error constructor the
// stand-in uses. Errors carry the fixed English texts directly instead of
// asking the installed platform, so a stand-in that is not installed never
// brings another platform to life just to describe a code.
//
// Thread contract: constants and a pure function.
#pragma once

#include <cstdint>
#include <expected>

#include "platform/error.h"

namespace quorvex::platform::host {

namespace status_code {
inline constexpr std::uint32_t e_illegal_method_call = 0x8000000E;
inline constexpr std::uint32_t ro_e_closed = 0x80000013;
inline constexpr std::uint32_t rpc_e_wrong_thread = 0x8001010E;
inline constexpr std::uint32_t mf_e_buffertoosmall = 0xC00D36B1;
inline constexpr std::uint32_t mf_e_invalidstreamnumber = 0xC00D36B3;
inline constexpr std::uint32_t mf_e_invalidmediatype = 0xC00D36B4;
inline constexpr std::uint32_t mf_e_no_more_types = 0xC00D36B9;
inline constexpr std::uint32_t mf_e_invalidtype = 0xC00D36BD;
inline constexpr std::uint32_t mf_e_bad_startup_version = 0xC00D36E3;
inline constexpr std::uint32_t mf_e_no_sample_timestamp = 0xC00D36E8;
inline constexpr std::uint32_t mf_e_transform_async_locked = 0xC00D6D77;
inline constexpr std::uint32_t error_insufficient_buffer = 122;
inline constexpr std::uint32_t error_invalid_thread_id = 1444;
inline constexpr std::uint32_t error_invalid_timer_id = 1468;
}  // namespace status_code

[[nodiscard]] inline Error host_error(std::uint32_t code) {
  return Error(code, standard_status_message(code));
}
[[nodiscard]] inline std::unexpected<Error> host_fail(std::uint32_t code) {
  return std::unexpected(host_error(code));
}

}  // namespace quorvex::platform::host
