#include "app/decimal_argument.h"

#include <limits>
#include <utility>

namespace quorvex::app {
namespace {

Result<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
  if (text.empty()) {
    return fail("cannot parse integer from empty string");
  }
  // A lone sign is no number; a '-' never reaches the digits as a sign.
  if (text.front() == '+' && text.size() > 1) {
    text.remove_prefix(1);
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return fail("invalid digit found in string");
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) {
      return fail("number too large to fit in target type");
    }
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

Result<std::uint32_t> parse_decimal_u32(std::string_view text) {
  auto parsed = parse_decimal(text, std::numeric_limits<std::uint32_t>::max());
  if (!parsed) {
    return std::unexpected(std::move(parsed.error()));
  }
  return static_cast<std::uint32_t>(*parsed);
}

Result<std::uint64_t> parse_decimal_u64(std::string_view text) {
  return parse_decimal(text, std::numeric_limits<std::uint64_t>::max());
}

}  // namespace quorvex::app
