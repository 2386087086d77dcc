// Per-thread message queues with GetMessageW / PostThreadMessageW /
// PostQuitMessage semantics, and the dispatcher-queue work that rides on
// them (the capture stand-in delivers FrameArrived this way).
//
// A thread gets its queue on its first queue call (get, post, post_quit), as
// a Windows thread does on its first USER call; posting to a thread that has
// none fails with ERROR_INVALID_THREAD_ID. A queue goes away with its thread.
// Posted messages come out in posting order; a quit request from post_quit
// is delivered as WM_QUIT once no posted message is left, the way Windows
// treats the quit flag. Thread timers (SetTimer) yield one WM_TIMER when due
// and no posted message waits, also as Windows does.
//
// Thread contract: every member may be called from any thread; get() works
// on the calling thread's own queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/thread_safety.h"
#include "platform/win32.h"

namespace quorvex::platform::host {

class ThreadMessageQueues : public std::enable_shared_from_this<ThreadMessageQueues> {
 public:
  // A registered-message number (RegisterWindowMessage range) that stands
  // for dispatcher-queue work; wparam names the work item.
  static constexpr std::uint32_t dispatcher_work_message = 0xC0DE;

  // The calling thread's id: a small nonzero number, unique in the process.
  [[nodiscard]] static std::uint32_t current_thread_id();

  [[nodiscard]] GetMessageResult get(Message& message);
  [[nodiscard]] Status post(std::uint32_t thread_id, const Message& message);
  void post_quit(std::int32_t exit_code);
  // A timer of the calling thread's queue; its id (never 0).
  [[nodiscard]] std::uint64_t set_timer(std::chrono::milliseconds elapse);
  // False when the calling thread has no such timer.
  bool kill_timer(std::uint64_t timer_id);
  // Runs the dispatcher work a message names (no-op for other messages).
  void dispatch(const Message& message);

  // Queues `work` for `thread_id`'s message loop; false when the thread has
  // no queue.
  bool post_work(std::uint32_t thread_id, std::function<void()> work);
  // Creates the calling thread's queue if it has none.
  void ensure_current_queue();
  [[nodiscard]] bool has_queue(std::uint32_t thread_id);

 private:
  struct Timer {
    std::chrono::milliseconds elapse{0};
    std::chrono::steady_clock::time_point due;
  };
  struct Queue {
    std::deque<Message> messages;
    bool quit_requested = false;
    std::int32_t quit_code = 0;
    std::map<std::uint64_t, Timer> timers;
  };
  std::shared_ptr<Queue> queue_for_current_thread();
  void remove_queue(std::uint32_t thread_id);
  friend struct ThreadQueueOwnership;

  Mutex mutex_;
  std::condition_variable arrived_;
  std::map<std::uint32_t, std::shared_ptr<Queue>> queues_ QVX_GUARDED_BY(mutex_);
  std::map<std::uint64_t, std::function<void()>> work_ QVX_GUARDED_BY(mutex_);
  std::uint64_t next_work_id_ QVX_GUARDED_BY(mutex_) = 1;
  std::uint64_t next_timer_id_ QVX_GUARDED_BY(mutex_) = 1;
};

}  // namespace quorvex::platform::host
