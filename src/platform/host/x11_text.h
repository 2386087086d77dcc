// The X11 desktop's text as Win32 reports it (UTF-16): titles and names the
// server or /proc give as UTF-8 or ISO Latin-1.
//
// Thread contract: pure functions.
#pragma once

#include <string>
#include <string_view>

#include "sender/text.h"

namespace quorvex::platform::host::x11 {

// Each maximal ill-formed prefix becomes U+FFFD.
[[nodiscard]] inline std::u16string from_utf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const sender::text::Utf8Step step = sender::text::decode_utf8(text, i);
    i += step.length;
    const char32_t code = step.valid ? step.code_point : U'\uFFFD';
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

[[nodiscard]] inline std::u16string from_latin1(std::string_view text) {
  std::u16string out;
  for (const char c : text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace quorvex::platform::host::x11
