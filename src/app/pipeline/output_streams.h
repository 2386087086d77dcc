// Where the encoder pipeline's output goes: frame records to standard output
// under its one mutex (a record and its flush together), diagnostic lines to
// the process's one diagnostics sink (stderr_line.h). The program uses the
// process's streams; tests hand in memory ones.
//
// Thread contract: every member may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "app/diagnostics.h"
#include "platform/thread_safety.h"
#include "sender/byte_sink.h"
#include "sender/io_error.h"

namespace quorvex::app {

// The record stream: frame records go through write_frame and are flushed,
// both under the stream's mutex.
class RecordOutput {
 public:
  explicit RecordOutput(std::shared_ptr<sender::ByteSink> sink) : sink_(std::move(sink)) {}

  [[nodiscard]] std::expected<void, sender::IoError> write_record(
      std::chrono::system_clock::time_point capture_time, bool keyframe,
      std::span<const std::byte> payload);
  // Whether the stream's reader is still there (see ByteSink); never waits
  // for a write in progress.
  [[nodiscard]] std::expected<void, sender::IoError> reader_present() const { return sink_->reader_present(); }

 private:
  Mutex mutex_;
  // Writes guarded by mutex_; reader_present() needs no lock.
  std::shared_ptr<sender::ByteSink> sink_;
};

struct OutputStreams {
  std::shared_ptr<RecordOutput> records;
  std::shared_ptr<diagnostics::Sink> diagnostics;
  // The per-frame "encode_latency_ms" lines ("--quiet" leaves them out).
  bool frame_latency_lines = true;
  // Filler NAL units are taken out of the records ("--drop-filler").
  bool drop_filler = false;
};

// The process's standard output and standard error; the same objects on
// every call.
[[nodiscard]] OutputStreams process_output_streams();

}  // namespace quorvex::app
