// Strict UTF-16 to UTF-8 decoding for the strings the system hands over in
// UTF-16 (window titles, device names, module names). An unpaired surrogate
// is an error, never silently replaced: a title that cannot be represented
// must not be matched or listed under a different text.
//
// Thread contract: pure functions.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace quorvex::wgc_capture {

struct Utf16Error {
  [[nodiscard]] std::string message() const { return "invalid utf-16: lone surrogate found"; }
  friend bool operator==(const Utf16Error&, const Utf16Error&) = default;
};

[[nodiscard]] std::expected<std::string, Utf16Error> decode_utf16(std::u16string_view text);

// The units of a fixed-size buffer up to, not including, its first 0 unit
// (all of them when there is none).
[[nodiscard]] std::u16string_view until_first_nul(std::span<const char16_t> buffer);

}  // namespace quorvex::wgc_capture
