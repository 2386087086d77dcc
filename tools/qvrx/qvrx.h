// qvrx: checks a frame-record stream, lists its records and unpacks the
// H.264 elementary stream it carries.
//
//   qvrx check  STREAM          counts records; names the first malformed byte
//   qvrx list   STREAM          one line per record
//   qvrx list   STREAM --clock [--size WxH] [--strip LEFT,TOP,SCALE_X,SCALE_Y]
//                               adds the frame-clock strip of each picture
//                               (clock_frame=N clock_ms=M, or clock=unreadable):
//                               ffmpeg decodes the pictures, whose size is the
//                               one the first sequence parameter set gives
//                               unless --size says otherwise; the strip's
//                               origin and scale in them default to 0,0,1,1
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
