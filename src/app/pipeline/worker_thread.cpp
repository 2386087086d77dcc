#include "app/pipeline/worker_thread.h"

#include <system_error>
#include <utility>

#include "platform/process.h"

namespace quorvex::app {

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
  if (this != &other) {
    detach();
    thread_ = std::move(other.thread_);
    outcome_ = std::move(other.outcome_);
  }
  return *this;
}

WorkerThread::~WorkerThread() { detach(); }

Result<WorkerThread> WorkerThread::start(std::string name, Body body) {
  WorkerThread worker;
  worker.outcome_ = std::make_shared<Outcome>();
  try {
    worker.thread_ = std::thread([name = std::move(name), body = std::move(body),
                                  outcome = worker.outcome_]() mutable {
      platform::set_current_thread_name(name);
      try {
        outcome->result = body();
        outcome->abnormal = false;
      } catch (...) {
        // The abnormal end: outcome stays marked, the join reports it.
      }
      // The body's captures (shared state references) go before the thread ends.
      body = nullptr;
    });
  } catch (const std::system_error& error) {
    return fail(error.code().message());
  }
  return worker;
}

Result<void> WorkerThread::join(std::string_view abnormal_end_message) {
  if (!thread_.joinable()) {
    return {};
  }
  thread_.join();
  const std::shared_ptr<Outcome> outcome = std::move(outcome_);
  if (outcome->abnormal) {
    return fail(std::string(abnormal_end_message));
  }
  return std::move(outcome->result);
}

void WorkerThread::detach() {
  if (thread_.joinable()) {
    thread_.detach();
  }
  outcome_.reset();
}

}  // namespace quorvex::app
