// A named worker thread whose join tells the body's error result from an
// abnormal end (an exception escaping the body). The name is set at the
// operating-system level so debuggers and profilers show it.
//
// Thread contract: start, join and detach are called by the owner's thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "app/error.h"

namespace quorvex::app {

class WorkerThread {
 public:
  using Body = std::function<Result<void>()>;

  WorkerThread() = default;
  WorkerThread(WorkerThread&&) noexcept = default;
  WorkerThread& operator=(WorkerThread&&) noexcept;
  // A thread never joined keeps running on its own.
  ~WorkerThread();

  // Fails with the operating system's error when no thread can be created.
  [[nodiscard]] static Result<WorkerThread> start(std::string name, Body body);

  [[nodiscard]] bool joinable() const { return thread_.joinable(); }

  // Waits for the end. The body's own result is returned as it is; an
  // abnormal end becomes `abnormal_end_message`.
  [[nodiscard]] Result<void> join(std::string_view abnormal_end_message);

  void detach();

 private:
  struct Outcome {
    bool abnormal = true;
    Result<void> result;
  };

  std::thread thread_;
  std::shared_ptr<Outcome> outcome_;
};

}  // namespace quorvex::app
