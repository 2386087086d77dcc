// Reads a frame-record stream from a file or from standard input ("-"),
// handing each record over as soon as it is complete: a stream of any length
// fits in memory, and a live pipe is passed on record by record.
//
// Thread contract: one call at a time per error stream.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "sender/frame_record_reader.h"

namespace quorvex::tools {

struct Totals {
  std::uint64_t records = 0;
  std::uint64_t keyframes = 0;
  std::uint64_t payload_bytes = 0;
};

// "records=… keyframes=… payload_bytes=…", no line end.
[[nodiscard]] std::string format_totals(const Totals& totals);

// Counts each record into `totals` before handing it to `on_record`, which
// returns false to stop (having said why on `err`). 0 when the whole stream
// was read; 1 after a message on `err` ("qvrx: cannot open PATH: reason", a
// read error, or the first malformed byte), with every record before the
// fault handed over.
[[nodiscard]] int for_each_record(const std::string& path, std::ostream& err, Totals& totals,
                                  const std::function<bool(const sender::FrameRecord&)>& on_record);

}  // namespace quorvex::tools
