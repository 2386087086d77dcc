// The texts a rejected number is reported with, written out here so that a
// change to them fails the tests that check option and command errors.
#pragma once

namespace quorvex::app::number_error_texts {

inline constexpr const char* kEmpty = "cannot parse integer from empty string";
inline constexpr const char* kDigit = "invalid digit found in string";
inline constexpr const char* kTooLarge = "number too large to fit in target type";

}  // namespace quorvex::app::number_error_texts
