// What the process asks of the operating system outside the four service
// areas: its standard streams, its command line, the names of its threads and
// the requests to stop it. The build's platform library provides them.
//
// Thread contract: prepare_standard_streams and command_line_arguments run on
// the main thread before any other thread exists; set_current_thread_name
// names the calling thread; watch_stop_requests runs on the main thread, and
// its callback on a thread of its own.
#pragma once

#include <expected>
#include <functional>
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

// A request to end the process: Ctrl+C (SIGINT on POSIX), Ctrl+Break, the
// console closing (Windows), or SIGTERM (POSIX).
enum class StopRequest { Interrupt, Break, Close, Terminate };

// From now on each stop request calls `on_request` on a thread of its own
// (never inside a signal handler) instead of ending the process. Windows
// ends the process once the callback of a Close returns, so the platform
// keeps that callback's thread waiting until the process exits of its own
// accord (Windows allows about 5 s). Called once per process.
[[nodiscard]] std::expected<void, std::string> watch_stop_requests(std::function<void(StopRequest)> on_request);

// Calls `on_exit` once, on a thread of its own, when the process that
// started this one has ended (at once if it ended before the call). A
// process whose parent cannot be told (started by init, or a system that
// gives no way) is never called back. The error is a message.
[[nodiscard]] std::expected<void, std::string> watch_parent_exit(std::function<void()> on_exit);

// Whether standard output leads to a pipe whose reading end was closed, told
// without writing a byte and without blocking (POSIX: poll reports POLLERR
// on such a pipe; Windows: a zero-byte write to it fails). False for files,
// terminals and anything that cannot tell.
[[nodiscard]] bool standard_output_reader_gone();

// Whether standard output is a terminal (a console on Windows), where binary
// frame records only garble the screen.
[[nodiscard]] bool standard_output_is_terminal();

// Names the calling thread for debuggers and process listings. Best effort.
void set_current_thread_name(std::string_view name);

}  // namespace quorvex::platform
