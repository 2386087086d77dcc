// Where the encoder pipeline's output goes: frame records to standard output
// under its one mutex (a record and its flush together), diagnostic lines to
// standard error one whole line per write. The program uses the process's
// streams; tests hand in memory ones.
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

#include "platform/thread_safety.h"
#include "sender/byte_sink.h"
#include "sender/io_error.h"

namespace quorvex::app {

class LineSink {
 public:
  virtual ~LineSink() = default;
  // Writes the line and its line feed at once, so lines of different threads
  // never interleave. A failed write is dropped: there is nowhere to report it.
  virtual void write_line(std::string_view line_without_newline) = 0;
  // A line that ends a session (the summary, an error): the same, but a
  // sink that drops lines when its reader falls behind never drops these.
  virtual void write_ending_line(std::string_view line_without_newline) { write_line(line_without_newline); }
};

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
  std::shared_ptr<LineSink> diagnostics;
  // The per-frame "encode_latency_ms" lines ("--quiet" leaves them out).
  bool frame_latency_lines = true;
  // Filler NAL units are taken out of the records ("--drop-filler").
  bool drop_filler = false;
};

// The process's standard output and standard error; the same objects on
// every call.
[[nodiscard]] OutputStreams process_output_streams();

}  // namespace quorvex::app
