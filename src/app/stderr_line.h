// Diagnostic lines on standard error.
//
// Outside a capture session every line is written at once, as it comes. A
// capture session turns the queue on (StderrQueueSession): lines then go
// through a bounded queue that a writer thread drains, so a parent that does
// not read standard error can no longer stop the stream by filling the pipe.
// When the queue is full the lines that may be dropped are dropped and
// counted, and "diagnostics_dropped count={n}" follows as soon as the writer
// has made room again. Which lines may be dropped is the catalogue's call
// (diagnostics.h): the ones that can repeat without bound. The others, the
// summary, the end line and the errors among them, are never dropped; at the
// end the writer drains the queue, blocking on a full pipe as a direct write
// would.
//
// Thread contract: callable from any thread. Each line leaves in one write,
// so lines from different threads never interleave, and lines leave in the
// order they were handed in.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "app/diagnostics.h"
#include "platform/thread_safety.h"

namespace quorvex::app {

using diagnostics::LineFate;

// The ordered, bounded line queue with its writer thread. The writer is a
// function so tests can block it.
class LineQueue {
 public:
  // Writes one whole line, its line feed included. Called by one thread at a
  // time (the writer thread, or the caller of write() while the queue is off).
  using Writer = std::function<void(std::string_view line_with_newline)>;
  // Runs first on the writer thread (to name it).
  using ThreadSetup = std::function<void()>;

  LineQueue(Writer writer, std::size_t droppable_bytes_limit);
  // Stops the queue as stop() does.
  ~LineQueue();
  LineQueue(const LineQueue&) = delete;
  LineQueue& operator=(const LineQueue&) = delete;

  // From now on lines queue and a writer thread writes them. Falls back to
  // direct writes when no thread can be started. No effect while running.
  void start(const ThreadSetup& setup = {});
  // Writes every queued line (blocking as long as the writes block), then
  // the count of dropped lines if any, and ends the writer thread; lines are
  // written directly again afterwards. No effect while stopped.
  void stop();

  // The line without its line feed.
  void write(std::string_view line_without_newline, LineFate fate);

  // Lines dropped since the last "diagnostics_dropped" line.
  [[nodiscard]] std::uint64_t dropped() const;

 private:
  struct Queued {
    std::string line;  // line feed included
    LineFate fate;
  };

  void run_writer() QVX_EXCLUDES(mutex_);
  void queue_dropped_count() QVX_REQUIRES(mutex_);

  Writer writer_;
  const std::size_t droppable_bytes_limit_;
  mutable Mutex mutex_;
  std::condition_variable changed_;
  std::deque<Queued> lines_ QVX_GUARDED_BY(mutex_);
  std::size_t droppable_bytes_ QVX_GUARDED_BY(mutex_) = 0;  // MayDrop bytes in lines_
  std::uint64_t dropped_ QVX_GUARDED_BY(mutex_) = 0;
  bool running_ QVX_GUARDED_BY(mutex_) = false;
  bool stopping_ QVX_GUARDED_BY(mutex_) = false;
  Mutex start_stop_;
  std::thread thread_ QVX_GUARDED_BY(start_stop_);
};

// The process's standard error: every diagnostic line the program writes
// leaves through this sink, with the fate its kind has in the catalogue. The
// same object on every call, never destroyed.
[[nodiscard]] diagnostics::Sink& standard_error();

// The process's standard error queue: on for the life of this object.
class StderrQueueSession {
 public:
  // `setup` runs first on the writer thread (to name it).
  explicit StderrQueueSession(const LineQueue::ThreadSetup& setup = {});
  // Drains the queue (blocking while the pipe is full).
  ~StderrQueueSession();
  StderrQueueSession(const StderrQueueSession&) = delete;
  StderrQueueSession& operator=(const StderrQueueSession&) = delete;
};

}  // namespace quorvex::app
