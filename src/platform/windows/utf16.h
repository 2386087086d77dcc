// Conversions between the system's UTF-16 and the UTF-8 the rest of the
// program prints. Lossy on purpose: they are used for system messages and
// for names the program itself supplies, never for user text whose decoding
// errors matter (those are decoded above the platform boundary).
//
// Thread contract: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace quorvex::platform::windows {

// Unpaired surrogates become U+FFFD.
[[nodiscard]] std::string utf16_to_utf8(std::u16string_view text);
// Malformed sequences become U+FFFD, one per offending byte.
[[nodiscard]] std::u16string utf8_to_utf16(std::string_view text);

// The Windows API spells UTF-16 as wchar_t; these copy unit by unit so no
// buffer is read through a pointer of the other type.
[[nodiscard]] std::wstring to_wide(std::u16string_view text);
[[nodiscard]] std::u16string from_wide(std::wstring_view text);

}  // namespace quorvex::platform::windows
