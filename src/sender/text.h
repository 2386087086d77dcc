// UTF-8 decoding and Unicode white space, shared by the control-line grammar,
// the display labels and the JSON writer of this library. Pure functions; any
// thread may call them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvex::sender::text {

// One step of decoding: the scalar value and how many bytes it took. When the
// bytes at the position are not well-formed UTF-8, `valid` is false and
// `length` covers the maximal ill-formed prefix (at least one byte), so a
// caller that replaces each such prefix by U+FFFD follows the usual practice.
struct Utf8Step {
  char32_t code_point = 0;
  std::size_t length = 0;
  bool valid = false;
};

// Decodes the character starting at `position`, which must be inside `bytes`.
// Overlong forms, surrogates and values above U+10FFFF are ill-formed.
[[nodiscard]] Utf8Step decode_utf8(std::string_view bytes, std::size_t position);

[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// The characters with the Unicode White_Space property.
[[nodiscard]] bool is_white_space(char32_t code_point);

// Drops leading and trailing White_Space characters. Ill-formed bytes are not
// white space, so trimming stops at them and they are kept.
[[nodiscard]] std::string_view trim_white_space(std::string_view bytes);

// `text` as a JSON string literal, quotes included: '"', '\\' and the
// control characters escaped, each ill-formed sequence replaced by U+FFFD.
// The result holds no line break, so it also carries free text inside a
// one-line record.
[[nodiscard]] std::string json_string(std::string_view text);

}  // namespace quorvex::sender::text
