// Strict unsigned decimal numbers as the command line and the control lines
// write them: an optional single leading '+', then ASCII digits only.
// Pure functions; any thread may call them.
#pragma once

#include <concepts>
#include <expected>
#include <limits>
#include <string_view>

namespace quorvex::sender {

enum class DecimalError {
  Empty,
  InvalidDigit,
  TooLarge,
};

// The fixed English message the program prints for each error.
[[nodiscard]] constexpr std::string_view decimal_error_message(DecimalError error) {
  switch (error) {
    case DecimalError::Empty:
      return "cannot parse integer from empty string";
    case DecimalError::InvalidDigit:
      return "invalid digit found in string";
    case DecimalError::TooLarge:
      return "number too large to fit in target type";
  }
  return "invalid digit found in string";
}

// Leading zeros are fine; a sign alone, a '-' or any other character is an
// invalid digit. Characters are judged left to right and each one is checked
// for being a digit before the value is checked for overflow, so in
// "99999999999x" the 'x' decides only if the digits before it still fit.
template <std::unsigned_integral T>
[[nodiscard]] constexpr std::expected<T, DecimalError> parse_unsigned(std::string_view text) {
  if (text.empty()) {
    return std::unexpected(DecimalError::Empty);
  }
  std::string_view digits = text;
  if (digits.front() == '+') {
    if (digits.size() == 1) {
      return std::unexpected(DecimalError::InvalidDigit);
    }
    digits.remove_prefix(1);
  }
  constexpr T max = std::numeric_limits<T>::max();
  T value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      return std::unexpected(DecimalError::InvalidDigit);
    }
    const auto digit = static_cast<T>(c - '0');
    if (value > max / 10 || static_cast<T>(value * 10) > max - digit) {
      return std::unexpected(DecimalError::TooLarge);
    }
    value = static_cast<T>(value * 10 + digit);
  }
  return value;
}

}  // namespace quorvex::sender
