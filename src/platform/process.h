// What the process asks of the operating system outside the four service
// areas: its standard streams, its command line and the names of its
// threads. The build's platform library provides them.
//
// Thread contract: prepare_standard_streams and command_line_arguments run on
// the main thread before any other thread exists; set_current_thread_name
// names the calling thread.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex::platform {

// stdout carries binary frame records and stdin binary-safe control lines,
// so no newline translation may touch them (stderr neither: its lines end in
// a bare line feed everywhere); a write to a closed stdout must come back as
// an error, never end the process by a signal. The error is a message.
[[nodiscard]] std::expected<void, std::string> prepare_standard_streams();

// The arguments after the program name, in UTF-8. On Windows they come from
// the UTF-16 command line, so text outside the ANSI code page survives.
[[nodiscard]] std::expected<std::vector<std::string>, std::string> command_line_arguments(int argc,
                                                                                          char** argv);

// Names the calling thread for debuggers and process listings. Best effort.
void set_current_thread_name(std::string_view name);

}  // namespace quorvex::platform
