#include "wgc_capture/utf16.h"

namespace quorvex::wgc_capture {
namespace {

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::expected<std::string, Utf16Error> decode_utf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (is_high_surrogate(unit)) {
      if (i + 1 >= text.size() || !is_low_surrogate(text[i + 1])) {
        return std::unexpected(Utf16Error{});
      }
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      append_utf8(out, cp);
      ++i;
    } else if (is_low_surrogate(unit)) {
      return std::unexpected(Utf16Error{});
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

std::u16string_view until_first_nul(std::span<const char16_t> buffer) {
  std::size_t length = 0;
  while (length < buffer.size() && buffer[length] != 0) {
    ++length;
  }
  return {buffer.data(), length};
}

}  // namespace quorvex::wgc_capture
