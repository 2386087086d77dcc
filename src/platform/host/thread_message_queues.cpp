#include "platform/host/thread_message_queues.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "platform/host/host_status.h"

namespace quorvex::platform::host {

// Removes the thread's queues from every registry it joined when the thread
// ends, so a later post to that thread id fails as it does on Windows.
struct ThreadQueueOwnership {
  std::vector<std::weak_ptr<ThreadMessageQueues>> registries;
  ~ThreadQueueOwnership() {
    for (auto& weak : registries) {
      if (auto registry = weak.lock()) {
        registry->remove_queue(ThreadMessageQueues::current_thread_id());
      }
    }
  }
};

namespace {
thread_local ThreadQueueOwnership thread_queue_ownership;
}  // namespace

std::uint32_t ThreadMessageQueues::current_thread_id() {
  // Windows thread ids are multiples of 4; keep to that shape.
  static std::atomic<std::uint32_t> next{0x1000};
  thread_local const std::uint32_t id = next.fetch_add(4);
  return id;
}

std::shared_ptr<ThreadMessageQueues::Queue> ThreadMessageQueues::queue_for_current_thread() {
  const std::uint32_t id = current_thread_id();
  bool created = false;
  std::shared_ptr<Queue> queue;
  {
    const MutexLock lock(mutex_);
    auto& slot = queues_[id];
    if (!slot) {
      slot = std::make_shared<Queue>();
      created = true;
    }
    queue = slot;
  }
  if (created) {
    thread_queue_ownership.registries.push_back(weak_from_this());
  }
  return queue;
}

void ThreadMessageQueues::ensure_current_queue() { (void)queue_for_current_thread(); }

bool ThreadMessageQueues::has_queue(std::uint32_t thread_id) {
  const MutexLock lock(mutex_);
  return queues_.contains(thread_id);
}

void ThreadMessageQueues::remove_queue(std::uint32_t thread_id) {
  const MutexLock lock(mutex_);
  if (auto it = queues_.find(thread_id); it != queues_.end()) {
    for (const Message& m : it->second->messages) {
      if (m.message == dispatcher_work_message) {
        work_.erase(m.wparam);
      }
    }
    queues_.erase(it);
  }
}

GetMessageResult ThreadMessageQueues::get(Message& message) {
  const std::shared_ptr<Queue> queue = queue_for_current_thread();
  MutexLock lock(mutex_);
  while (queue->messages.empty() && !queue->quit_requested) {
    auto next = std::min_element(queue->timers.begin(), queue->timers.end(),
                                 [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
    if (next == queue->timers.end()) {
      lock.wait(arrived_);
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    if (next->second.due <= now) {
      // However late, a due timer yields one WM_TIMER, then waits a period.
      next->second.due = now + next->second.elapse;
      message = Message{0, win32::wm_timer, next->first, 0};
      return GetMessageResult::Message;
    }
    lock.wait_until(arrived_, next->second.due);
  }
  if (!queue->messages.empty()) {
    message = queue->messages.front();
    queue->messages.pop_front();
    return message.message == win32::wm_quit ? GetMessageResult::Quit : GetMessageResult::Message;
  }
  queue->quit_requested = false;
  message = Message{0, win32::wm_quit, static_cast<std::uint64_t>(static_cast<std::int64_t>(queue->quit_code)), 0};
  return GetMessageResult::Quit;
}

Status ThreadMessageQueues::post(std::uint32_t thread_id, const Message& message) {
  ensure_current_queue();
  {
    const MutexLock lock(mutex_);
    const auto it = queues_.find(thread_id);
    if (it == queues_.end()) {
      return host_fail(status_code::error_invalid_thread_id);
    }
    it->second->messages.push_back(message);
  }
  arrived_.notify_all();
  return {};
}

void ThreadMessageQueues::post_quit(std::int32_t exit_code) {
  const std::shared_ptr<Queue> queue = queue_for_current_thread();
  {
    const MutexLock lock(mutex_);
    queue->quit_requested = true;
    queue->quit_code = exit_code;
  }
  arrived_.notify_all();
}

std::uint64_t ThreadMessageQueues::set_timer(std::chrono::milliseconds elapse) {
  const std::shared_ptr<Queue> queue = queue_for_current_thread();
  std::uint64_t id = 0;
  {
    const MutexLock lock(mutex_);
    id = next_timer_id_++;
    queue->timers[id] = Timer{elapse, std::chrono::steady_clock::now() + elapse};
  }
  arrived_.notify_all();
  return id;
}

bool ThreadMessageQueues::kill_timer(std::uint64_t timer_id) {
  const std::shared_ptr<Queue> queue = queue_for_current_thread();
  const MutexLock lock(mutex_);
  return queue->timers.erase(timer_id) != 0;
}

bool ThreadMessageQueues::post_work(std::uint32_t thread_id, std::function<void()> work) {
  {
    const MutexLock lock(mutex_);
    const auto it = queues_.find(thread_id);
    if (it == queues_.end()) {
      return false;
    }
    const std::uint64_t id = next_work_id_++;
    work_[id] = std::move(work);
    it->second->messages.push_back(Message{0, dispatcher_work_message, id, 0});
  }
  arrived_.notify_all();
  return true;
}

void ThreadMessageQueues::dispatch(const Message& message) {
  if (message.message != dispatcher_work_message) {
    return;
  }
  std::function<void()> work;
  {
    const MutexLock lock(mutex_);
    const auto it = work_.find(message.wparam);
    if (it == work_.end()) {
      return;
    }
    work = std::move(it->second);
    work_.erase(it);
  }
  work();
}

}  // namespace quorvex::platform::host
