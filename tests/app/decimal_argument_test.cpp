#include "app/cli/decimal_argument.h"
#include "number_error_texts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace quorvex::app {
namespace {

struct DecimalCase {
  std::string text;
  std::uint64_t value;  // when message is empty
  std::string message;
};

void PrintTo(const DecimalCase& c, std::ostream* os) { *os << "'" << c.text << "'"; }

using number_error_texts::kDigit;
using number_error_texts::kEmpty;
using number_error_texts::kTooLarge;

class DecimalU32 : public testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalU32, AcceptsPlainDigitsUpToTheMaximumOnly) {
  const auto& c = GetParam();
  const auto parsed = parse_decimal_u32(c.text);
  if (c.message.empty()) {
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message;
    EXPECT_EQ(*parsed, c.value);
  } else {
    ASSERT_FALSE(parsed.has_value()) << *parsed;
    EXPECT_EQ(parsed.error().message, c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecimalU32,
    testing::Values(DecimalCase{"0", 0, ""}, DecimalCase{"+7", 7, ""}, DecimalCase{"000000000000000000042", 42, ""},
                    DecimalCase{"4294967295", 4294967295u, ""}, DecimalCase{"+4294967295", 4294967295u, ""},
                    DecimalCase{"", 0, kEmpty}, DecimalCase{"+", 0, kDigit}, DecimalCase{"-", 0, kDigit},
                    DecimalCase{"-0", 0, kDigit}, DecimalCase{"+-1", 0, kDigit}, DecimalCase{"1 ", 0, kDigit},
                    DecimalCase{"1e3", 0, kDigit}, DecimalCase{"\xEF\xBC\x91", 0, kDigit},  // fullwidth one
                    DecimalCase{"4294967296", 0, kTooLarge}, DecimalCase{"4294967300", 0, kTooLarge},
                    DecimalCase{"99999999999999999999999", 0, kTooLarge},
                    // Overflow is noticed at the digit that causes it.
                    DecimalCase{"4294967296-", 0, kTooLarge}, DecimalCase{"429496729-6", 0, kDigit}));

class DecimalU64 : public testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalU64, AcceptsPlainDigitsUpToTheMaximumOnly) {
  const auto& c = GetParam();
  const auto parsed = parse_decimal_u64(c.text);
  if (c.message.empty()) {
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message;
    EXPECT_EQ(*parsed, c.value);
  } else {
    ASSERT_FALSE(parsed.has_value()) << *parsed;
    EXPECT_EQ(parsed.error().message, c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DecimalU64,
                         testing::Values(DecimalCase{"4294967296", 4294967296u, ""},
                                         DecimalCase{"18446744073709551615", 18446744073709551615u, ""},
                                         DecimalCase{"18446744073709551616", 0, kTooLarge},
                                         DecimalCase{"18446744073709551620", 0, kTooLarge},
                                         DecimalCase{"184467440737095516150", 0, kTooLarge},
                                         DecimalCase{"", 0, kEmpty}, DecimalCase{"-1", 0, kDigit}));

}  // namespace
}  // namespace quorvex::app
