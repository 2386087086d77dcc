#include "app/stderr_line.h"

#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

#include "app/diagnostics.h"

namespace quorvex::app {
namespace {

// About a minute of per-frame lines at 60 fps, on top of the pipe's own
// buffer: a parent that reads late loses nothing, one that never reads costs
// this much memory at most.
constexpr std::size_t stderr_droppable_bytes = 64 * 1024;

void write_to_stderr(std::string_view line_with_newline) {
  // stderr is unbuffered, so one fwrite is one write to the descriptor; the
  // stream's own lock keeps concurrent calls whole.
  const std::size_t written = std::fwrite(line_with_newline.data(), 1, line_with_newline.size(), stderr);
  static_cast<void>(written);
  static_cast<void>(std::fflush(stderr));
}

std::string with_newline(std::string_view line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line);
  whole.push_back('\n');
  return whole;
}

// Never destroyed: a detached thread (the control reader) may still write
// while the process exits.
LineQueue& stderr_queue() {
  static LineQueue* const queue = new LineQueue(write_to_stderr, stderr_droppable_bytes);
  return *queue;
}

}  // namespace

LineQueue::LineQueue(Writer writer, std::size_t droppable_bytes_limit)
    : writer_(std::move(writer)), droppable_bytes_limit_(droppable_bytes_limit) {}

LineQueue::~LineQueue() { stop(); }

void LineQueue::start(const ThreadSetup& setup) {
  const MutexLock start_stop(start_stop_);
  if (thread_.joinable()) {
    return;
  }
  {
    const MutexLock lock(mutex_);
    running_ = true;
    stopping_ = false;
  }
  try {
    thread_ = std::thread([this, setup] {
      if (setup) {
        setup();
      }
      run_writer();
    });
  } catch (const std::system_error&) {
    // Without a writer thread the lines keep going out directly.
    const MutexLock lock(mutex_);
    running_ = false;
  }
}

void LineQueue::stop() {
  const MutexLock start_stop(start_stop_);
  if (!thread_.joinable()) {
    return;
  }
  {
    const MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void LineQueue::write(std::string_view line_without_newline, LineFate fate) {
  MutexLock lock(mutex_);
  if (!running_) {
    // Written under the mutex, so a line written directly cannot overtake
    // one the writer thread is still writing at the moment it stops.
    writer_(with_newline(line_without_newline));
    return;
  }
  const std::size_t size = line_without_newline.size() + 1;
  if (fate == LineFate::MayDrop) {
    if (droppable_bytes_ + size > droppable_bytes_limit_) {
      ++dropped_;
      return;
    }
    droppable_bytes_ += size;
  }
  lines_.push_back({with_newline(line_without_newline), fate});
  lock.unlock();
  changed_.notify_all();
}

std::uint64_t LineQueue::dropped() const {
  const MutexLock lock(mutex_);
  return dropped_;
}

void LineQueue::queue_dropped_count() {
  if (dropped_ == 0) {
    return;
  }
  lines_.push_back({with_newline(diagnostics::diagnostics_dropped(dropped_).text()), LineFate::Keep});
  dropped_ = 0;
}

void LineQueue::run_writer() {
  MutexLock lock(mutex_);
  for (;;) {
    lock.wait(changed_, [this]() QVX_REQUIRES(mutex_) { return !lines_.empty() || stopping_; });
    if (lines_.empty()) {
      // Stopping with everything written: the count of what was dropped
      // since the last report closes the queue, then direct writes resume.
      queue_dropped_count();
      while (!lines_.empty()) {
        writer_(lines_.front().line);
        lines_.pop_front();
      }
      running_ = false;
      return;
    }
    Queued next = std::move(lines_.front());
    lines_.pop_front();
    if (next.fate == LineFate::MayDrop) {
      droppable_bytes_ -= next.line.size();
    }
    // Room again: the count of the lines dropped meanwhile goes out next in
    // order, after the lines queued before them.
    queue_dropped_count();
    lock.unlock();
    writer_(next.line);
    lock.lock();
  }
}

namespace {

class StandardError final : public diagnostics::Sink {
 public:
  void write(const diagnostics::Line& line) override {
    LineQueue& queue = stderr_queue();
    LineFate fate = line.fate();
    if (fate == LineFate::Final) {
      queue.stop();
      fate = LineFate::Keep;
    }
    queue.write(line.text(), fate);
  }
};

}  // namespace

diagnostics::Sink& standard_error() {
  // Never destroyed, like the queue it writes to.
  static StandardError* const sink = new StandardError;
  return *sink;
}

StderrQueueSession::StderrQueueSession(const LineQueue::ThreadSetup& setup) { stderr_queue().start(setup); }

StderrQueueSession::~StderrQueueSession() { stderr_queue().stop(); }

}  // namespace quorvex::app
