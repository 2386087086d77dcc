// The UTF-16 and UTF-8 conversions: the strict decoder of system strings,
// the lossy converters of the Windows adapter and the UTF-8 validator of the
// sender library, checked against each other and against the Unicode
// Standard's table of well-formed UTF-8. The input is read both as
// UTF-16 code units (little-endian pairs) and as UTF-8 bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "platform/windows/utf16.h"
#include "sender/text.h"
#include "wgc_capture/utf16.h"

namespace {

namespace text = quorvex::sender::text;
using quorvex::platform::windows::utf16_to_utf8;
using quorvex::platform::windows::utf8_to_utf16;
using quorvex::wgc_capture::decode_utf16;

constexpr char16_t replacement = 0xFFFD;

bool is_high(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Well-formed UTF-8 as the Unicode Standard's table of well-formed byte
// sequences (Table 3-7) lists it, range by range: an oracle written apart
// from the library's decoder, which works by code point arithmetic.
bool well_formed_by_table(std::string_view text) {
  struct Range {
    std::uint8_t low, high;
  };
  struct Row {
    Range first;
    Range second;  // of the second byte; the third and fourth are 80..BF
    std::size_t length;
  };
  constexpr Row rows[] = {
      {{0x00, 0x7F}, {0, 0}, 1},       {{0xC2, 0xDF}, {0x80, 0xBF}, 2}, {{0xE0, 0xE0}, {0xA0, 0xBF}, 3},
      {{0xE1, 0xEC}, {0x80, 0xBF}, 3}, {{0xED, 0xED}, {0x80, 0x9F}, 3}, {{0xEE, 0xEF}, {0x80, 0xBF}, 3},
      {{0xF0, 0xF0}, {0x90, 0xBF}, 4}, {{0xF1, 0xF3}, {0x80, 0xBF}, 4}, {{0xF4, 0xF4}, {0x80, 0x8F}, 4},
  };
  const auto in = [](Range range, std::uint8_t byte) { return byte >= range.low && byte <= range.high; };
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    const Row* row = nullptr;
    for (const Row& candidate : rows) {
      if (in(candidate.first, lead)) {
        row = &candidate;
      }
    }
    if (row == nullptr || text.size() - i < row->length) {
      return false;
    }
    for (std::size_t k = 1; k < row->length; ++k) {
      const Range range = k == 1 ? row->second : Range{0x80, 0xBF};
      if (!in(range, static_cast<std::uint8_t>(text[i + k]))) {
        return false;
      }
    }
    i += row->length;
  }
  return true;
}

// The text with every unpaired surrogate replaced, and whether there was one.
std::u16string with_lone_surrogates_replaced(std::u16string_view units, bool& had_lone) {
  std::u16string out;
  had_lone = false;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (is_high(units[i]) && i + 1 < units.size() && is_low(units[i + 1])) {
      out += units.substr(i, 2);
      ++i;
    } else if (is_high(units[i]) || is_low(units[i])) {
      out += replacement;
      had_lone = true;
    } else {
      out += units[i];
    }
  }
  return out;
}

void check_utf16_input(std::u16string_view units) {
  bool had_lone = false;
  const std::u16string repaired = with_lone_surrogates_replaced(units, had_lone);
  const auto strict = decode_utf16(units);
  const std::string lossy = utf16_to_utf8(units);
  QVX_FUZZ_CHECK(well_formed_by_table(lossy));
  // Lossy conversion only ever replaces the lone surrogates.
  QVX_FUZZ_CHECK(utf8_to_utf16(lossy) == repaired);
  if (had_lone) {
    QVX_FUZZ_CHECK(!strict.has_value());
  } else {
    QVX_FUZZ_CHECK(strict.has_value() && *strict == lossy);
    QVX_FUZZ_CHECK(utf8_to_utf16(*strict) == units);
  }
  // The fixed-size buffer view stops at the first NUL unit.
  const std::u16string_view until_nul =
      quorvex::wgc_capture::until_first_nul(std::span<const char16_t>(units.data(), units.size()));
  QVX_FUZZ_CHECK(until_nul == units.substr(0, units.find(u'\0')));
}

void check_utf8_input(std::string_view bytes) {
  const std::u16string units = utf8_to_utf16(bytes);
  bool had_lone = false;
  static_cast<void>(with_lone_surrogates_replaced(units, had_lone));
  QVX_FUZZ_CHECK(!had_lone);
  const auto back = decode_utf16(units);
  QVX_FUZZ_CHECK(back.has_value());
  QVX_FUZZ_CHECK(well_formed_by_table(*back));
  const bool well_formed = well_formed_by_table(bytes);
  QVX_FUZZ_CHECK(text::is_valid_utf8(bytes) == well_formed);
  if (well_formed) {
    QVX_FUZZ_CHECK(*back == bytes);
  } else {
    QVX_FUZZ_CHECK(units.find(replacement) != std::u16string::npos);
  }
  // The step decoder agrees with the table and never stalls.
  std::size_t position = 0;
  bool all_valid = true;
  while (position < bytes.size()) {
    const text::Utf8Step step = text::decode_utf8(bytes, position);
    QVX_FUZZ_CHECK(step.length >= 1 && step.length <= 4 && position + step.length <= bytes.size());
    all_valid = all_valid && step.valid;
    position += step.length;
  }
  QVX_FUZZ_CHECK(all_valid == well_formed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  }
  check_utf16_input(units);
  check_utf8_input(quorvex::fuzz::as_text(data, size));
  return 0;
}
