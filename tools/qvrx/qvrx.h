// qvrx: checks a frame-record stream, lists its records, unpacks or muxes
// the H.264 stream it carries, and summarises or plots it:
//
//   qvrx check  STREAM          counts records; names the first malformed byte
//   qvrx list   STREAM [--clock [--size WxH] [--strip LEFT,TOP,SCALE_X,SCALE_Y]]
//                               one line per record; --clock adds the
//                               frame-clock strip of each picture
//                               (clock_frame=N clock_ms=M, or clock=unreadable)
//   qvrx unpack STREAM OUT.h264 writes the Annex B payloads back to back
//   qvrx mux    STREAM OUT.mp4|OUT.mkv
//                               the same in a container, each record at its
//                               own timestamp (host build only)
//   qvrx stats  STREAM [--json] [--link-rate BPS] [--clock …]
//                               per second and in total: records, fps, bit
//                               rate, keyframes, largest record, filler
//                               share, latency; the link delay at BPS
//   qvrx plot   STREAM OUT.png [--size WxH] [--strip …] [--link-rate BPS]
//               [--target-bitrate BPS] [--log CAPTURE.log]
//                               those statistics drawn by matplotlib
//   qvrx --version              the name and version
//
// A STREAM of "-" is standard input, an OUT.h264 of "-" standard output.
// check, list and stats write their report on `out`; unpack and mux, whose
// output is a file, write their totals on `err`, as every message.
//
// Thread contract: one call at a time per output stream.
#pragma once

#include <ostream>
#include <span>
#include <string>

namespace quorvex::tools {

// Exit status: 0 for a well-formed stream, 1 for a malformed or unreadable
// one (after everything before the fault was handled) or a failed step, 2
// for a usage error. --help writes the usage on `out` and returns 0.
[[nodiscard]] int run_qvrx(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace quorvex::tools
