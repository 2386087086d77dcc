// Unsigned decimal numbers given as command-line option values: an optional
// single leading '+', then ASCII digits only.
//
// Thread contract: pure functions.
#pragma once

#include <cstdint>
#include <string_view>

#include "app/error.h"

namespace quorvex::app {

// Fails with "cannot parse integer from empty string", "invalid digit found
// in string" or "number too large to fit in target type". Characters are
// judged left to right, each checked for being a digit before the running
// value is checked for overflow, so the first offending character decides
// which message a value that is both too long and malformed gets.
[[nodiscard]] Result<std::uint32_t> parse_decimal_u32(std::string_view text);
[[nodiscard]] Result<std::uint64_t> parse_decimal_u64(std::string_view text);

}  // namespace quorvex::app
