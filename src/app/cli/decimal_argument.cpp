#include "app/cli/decimal_argument.h"

#include <string>

#include "sender/decimal.h"

namespace quorvex::app {
namespace {

template <class T>
Result<T> parse_decimal(std::string_view text) {
  const auto parsed = sender::parse_unsigned<T>(text);
  if (!parsed) {
    return std::unexpected(Error{std::string(sender::decimal_error_message(parsed.error()))});
  }
  return *parsed;
}

}  // namespace

Result<std::uint32_t> parse_decimal_u32(std::string_view text) { return parse_decimal<std::uint32_t>(text); }

Result<std::uint64_t> parse_decimal_u64(std::string_view text) { return parse_decimal<std::uint64_t>(text); }

}  // namespace quorvex::app
