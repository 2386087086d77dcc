// Reads what a capture wrote on standard error beside its records, for
// qvrx plot: the per-frame "encode_latency_ms=N" lines, one per record in
// record order, and the "latency_breakdown …" lines, one after every 30th
// record. Both count from the session's first record, so the log must be
// the whole standard error of the capture that wrote the stream (a session
// run with --quiet has no per-frame lines; one that dropped diagnostic lines
// under a full pipe no longer lines up). Other lines are passed over.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "qvrx/stream_stats.h"

namespace quorvex::tools {

// How many records each latency_breakdown line sums up.
inline constexpr std::size_t latency_window_records = 30;

struct CaptureLog {
  // Record i's encode latency, for every i below the size.
  std::vector<std::int64_t> encode_latencies_ms;
  std::vector<MailboxWait> mailbox_waits;
};

[[nodiscard]] CaptureLog parse_capture_log(std::string_view text);

}  // namespace quorvex::tools
