// qvrx: checks a frame-record stream, lists its records and unpacks the
// H.264 elementary stream it carries.
//
//   qvrx check  STREAM          counts records; names the first malformed byte
//   qvrx list   STREAM          one line per record
//   qvrx unpack STREAM OUT.h264 writes the Annex B payloads back to back
//
// Thread contract: one call at a time per output stream.
#pragma once

#include <ostream>
#include <span>
#include <string>

namespace quorvex::tools {

// Exit status: 0 for a well-formed stream, 1 for a malformed or unreadable
// one (after everything before the fault was handled), 2 for a usage error.
[[nodiscard]] int run_qvrx(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace quorvex::tools
