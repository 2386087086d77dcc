#include "sender/text.h"

#include <cstdint>
#include <string>

namespace quorvex::sender::text {
namespace {

[[nodiscard]] bool is_continuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

}  // namespace

Utf8Step decode_utf8(std::string_view bytes, std::size_t position) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[position + i]); };
  const std::size_t available = bytes.size() - position;
  const unsigned char lead = at(0);
  if (lead < 0x80U) {
    return {lead, 1, true};
  }
  // The second byte's allowed range depends on the lead byte; that is what
  // shuts out overlong forms (E0, F0), surrogates (ED) and values beyond
  // U+10FFFF (F4). C0, C1 and F5..FF never start a character.
  std::size_t length = 0;
  unsigned char second_min = 0x80U;
  unsigned char second_max = 0xBFU;
  char32_t value = 0;
  if (lead >= 0xC2U && lead <= 0xDFU) {
    length = 2;
    value = lead & 0x1FU;
  } else if (lead >= 0xE0U && lead <= 0xEFU) {
    length = 3;
    value = lead & 0x0FU;
    if (lead == 0xE0U) second_min = 0xA0U;
    if (lead == 0xEDU) second_max = 0x9FU;
  } else if (lead >= 0xF0U && lead <= 0xF4U) {
    length = 4;
    value = lead & 0x07U;
    if (lead == 0xF0U) second_min = 0x90U;
    if (lead == 0xF4U) second_max = 0x8FU;
  } else {
    return {0, 1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= available) {
      return {0, i, false};
    }
    const unsigned char byte = at(i);
    const bool in_range =
        i == 1 ? (byte >= second_min && byte <= second_max) : is_continuation(byte);
    if (!in_range) {
      return {0, i, false};
    }
    value = (value << 6) | (byte & 0x3FU);
  }
  return {value, length, true};
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t position = 0;
  while (position < bytes.size()) {
    const Utf8Step step = decode_utf8(bytes, position);
    if (!step.valid) {
      return false;
    }
    position += step.length;
  }
  return true;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view bytes) {
  std::size_t begin = 0;
  while (begin < bytes.size()) {
    const Utf8Step step = decode_utf8(bytes, begin);
    if (!step.valid || !is_white_space(step.code_point)) {
      break;
    }
    begin += step.length;
  }
  std::size_t end = bytes.size();
  while (end > begin) {
    // A character is at most four bytes: back up over continuation bytes to
    // its lead byte, then decode forward and require it to end exactly here.
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           is_continuation(static_cast<unsigned char>(bytes[start]))) {
      --start;
    }
    const Utf8Step step = decode_utf8(bytes.substr(0, end), start);
    if (!step.valid || start + step.length != end || !is_white_space(step.code_point)) {
      break;
    }
    end = start;
  }
  return bytes.substr(begin, end - begin);
}

std::string json_string(std::string_view text) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  std::string out = "\"";
  std::size_t position = 0;
  while (position < text.size()) {
    const Utf8Step step = decode_utf8(text, position);
    if (!step.valid) {
      out += "\xEF\xBF\xBD";
      position += step.length;
      continue;
    }
    const char32_t c = step.code_point;
    switch (c) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\b': out += "\\b"; break;
      case U'\t': out += "\\t"; break;
      case U'\n': out += "\\n"; break;
      case U'\f': out += "\\f"; break;
      case U'\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex_digits[c >> 4];
          out += hex_digits[c & 0xF];
        } else {
          out.append(text.substr(position, step.length));
        }
    }
    position += step.length;
  }
  out += '"';
  return out;
}

}  // namespace quorvex::sender::text
