// Diagnostic lines on standard error.
//
// Thread contract: callable from any thread. Each line leaves in one write,
// so lines from different threads never interleave.
#pragma once

#include <string_view>

namespace quorvex::app {

// Appends the line feed itself. A failed write is dropped: there is nowhere
// left to report it.
void write_stderr_line(std::string_view line_without_newline);

}  // namespace quorvex::app
