#include "sender/text.h"
#include "sender/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace quorvex::sender {
namespace {

struct Utf8Case {
  std::string bytes;
  bool valid;
  char32_t code_point;  // of the first character, when valid
  std::size_t length;   // of the first character, or of its ill-formed prefix
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << testing::PrintToString(c.bytes); }

class DecodeUtf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(DecodeUtf8, AcceptsOnlyShortestFormsOfScalarValues) {
  const Utf8Case& c = GetParam();
  const text::Utf8Step step = text::decode_utf8(c.bytes, 0);
  EXPECT_EQ(step.valid, c.valid);
  EXPECT_EQ(step.length, c.length);
  if (c.valid) {
    EXPECT_EQ(step.code_point, c.code_point);
  }
  EXPECT_EQ(text::is_valid_utf8(c.bytes), c.valid && c.length == c.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeUtf8,
    testing::Values(Utf8Case{"A", true, U'A', 1}, Utf8Case{"\x7F", true, 0x7F, 1},
                    Utf8Case{"\xC2\x80", true, 0x80, 2}, Utf8Case{"\xDF\xBF", true, 0x7FF, 2},
                    Utf8Case{"\xE0\xA0\x80", true, 0x800, 3},
                    Utf8Case{"\xED\x9F\xBF", true, 0xD7FF, 3},
                    Utf8Case{"\xEE\x80\x80", true, 0xE000, 3},
                    Utf8Case{"\xEF\xBF\xBF", true, 0xFFFF, 3},
                    Utf8Case{"\xF0\x90\x80\x80", true, 0x10000, 4},
                    Utf8Case{"\xF4\x8F\xBF\xBF", true, 0x10FFFF, 4},
                    // Overlong forms.
                    Utf8Case{"\xC0\xAF", false, 0, 1}, Utf8Case{"\xC1\xBF", false, 0, 1},
                    Utf8Case{"\xE0\x9F\xBF", false, 0, 1},
                    Utf8Case{"\xF0\x8F\xBF\xBF", false, 0, 1},
                    // Surrogates and values past U+10FFFF.
                    Utf8Case{"\xED\xA0\x80", false, 0, 1}, Utf8Case{"\xED\xBF\xBF", false, 0, 1},
                    Utf8Case{"\xF4\x90\x80\x80", false, 0, 1}, Utf8Case{"\xF5\x80\x80\x80", false, 0, 1},
                    Utf8Case{"\xFF", false, 0, 1},
                    // Lone continuation, truncated and interrupted sequences.
                    Utf8Case{"\x80", false, 0, 1}, Utf8Case{"\xE2\x82", false, 0, 2},
                    Utf8Case{"\xF0\x9F\x98", false, 0, 3}, Utf8Case{"\xE2\x82" "A", false, 0, 2},
                    Utf8Case{"\xC3" "A", false, 0, 1}));

TEST(TrimWhiteSpace, StopsAtTheFirstNonBlankOrIllFormedCharacter) {
  EXPECT_EQ(text::trim_white_space(" \t\xE3\x80\x80x y\xC2\x85\r\n"), "x y");
  EXPECT_EQ(text::trim_white_space("\xC2\xA0\xC2\xA0"), "");
  EXPECT_EQ(text::trim_white_space(" \xFF "), "\xFF");
  // A lone continuation byte that looks like the tail of U+00A0 is kept.
  EXPECT_EQ(text::trim_white_space("x\xA0"), "x\xA0");
  EXPECT_EQ(text::trim_white_space("x\xE2\x80\x80\xA0"), "x\xE2\x80\x80\xA0");
}

struct DecimalCase {
  std::string text;
  std::expected<std::uint32_t, DecimalError> expected;
};

void PrintTo(const DecimalCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class ParseUnsigned : public testing::TestWithParam<DecimalCase> {};

TEST_P(ParseUnsigned, JudgesEachCharacterBeforeOverflow) {
  EXPECT_EQ(parse_unsigned<std::uint32_t>(GetParam().text), GetParam().expected);
}

const auto invalid_digit = std::unexpected(DecimalError::InvalidDigit);
const auto too_large = std::unexpected(DecimalError::TooLarge);

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseUnsigned,
    testing::Values(DecimalCase{"0", 0U}, DecimalCase{"+640", 640U}, DecimalCase{"000720", 720U},
                    DecimalCase{"4294967295", 4294967295U},
                    DecimalCase{"", std::unexpected(DecimalError::Empty)},
                    DecimalCase{"+", invalid_digit}, DecimalCase{"-", invalid_digit},
                    DecimalCase{"-640", invalid_digit}, DecimalCase{"++1", invalid_digit},
                    DecimalCase{" 1", invalid_digit}, DecimalCase{"1 ", invalid_digit},
                    DecimalCase{"0x10", invalid_digit}, DecimalCase{"\xD9\xA1", invalid_digit},
                    DecimalCase{"4294967296", too_large}, DecimalCase{"99999999999", too_large},
                    // Whichever comes first decides.
                    DecimalCase{"9999999999x", too_large}, DecimalCase{"999999999x9", invalid_digit}));

TEST(ParseUnsigned, SixtyFourBitRangeAndMessages) {
  EXPECT_EQ(parse_unsigned<std::uint64_t>("18446744073709551615"), 18446744073709551615U);
  EXPECT_EQ(parse_unsigned<std::uint64_t>("18446744073709551616"), too_large);
  EXPECT_EQ(decimal_error_message(DecimalError::Empty), "cannot parse integer from empty string");
  EXPECT_EQ(decimal_error_message(DecimalError::InvalidDigit), "invalid digit found in string");
  EXPECT_EQ(decimal_error_message(DecimalError::TooLarge), "number too large to fit in target type");
}

}  // namespace
}  // namespace quorvex::sender
