// UTF-16 to UTF-8 conversion for text the system hands over in UTF-16
// (the Windows command line).
//
// Thread contract: pure function.
#pragma once

#include <string>
#include <string_view>

namespace quorvex::app {

// A lone surrogate becomes U+FFFD, so any input converts.
[[nodiscard]] std::string utf8_from_utf16(std::u16string_view text);

}  // namespace quorvex::app
