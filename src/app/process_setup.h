// What the process must do to its standard streams and command line before
// anything else runs. The build picks the Windows or the POSIX version.
//
// Thread contract: main thread, before any other thread exists.
#pragma once

#include <string>
#include <vector>

#include "app/error.h"

namespace quorvex::app {

// stdout carries binary frame records and stdin binary-safe control lines,
// so no newline translation may touch them; a write to a closed stdout must
// come back as an error, never end the process by a signal.
[[nodiscard]] Result<void> prepare_standard_streams();

// The arguments after the program name, in UTF-8.
[[nodiscard]] Result<std::vector<std::string>> command_line_arguments(int argc, char** argv);

}  // namespace quorvex::app
