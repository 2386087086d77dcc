// A scriptable Win32Process: a process table with creation times, processes
// a test ends, and a standard output of a chosen kind. It refuses what
// Windows refuses: an id that names no process cannot be opened, a wait
// needs SYNCHRONIZE and the creation time a query right, a pipe whose
// reader closed fails a write with ERROR_NO_DATA, only a console has a
// console mode, and a missing handle fails every call. Operations ask the
// FaultPlan under their own names ("process_snapshot", "open_process",
// "get_process_times", "wait_for_single_object", "write_file",
// "get_console_mode") and are counted there.
//
// Thread contract: every member may be called from any thread; waits end
// when end_process is called from another.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/fake/fault_plan.h"
#include "platform/thread_safety.h"
#include "platform/win32_process.h"

namespace quorvex::platform::fake {

struct FakeProcessEntry {
  std::uint32_t id = 0;
  std::uint32_t parent_id = 0;
  std::uint64_t created_100ns = 0;
  // OpenProcess fails with this last error (ERROR_ACCESS_DENIED for a
  // process of another user).
  std::optional<std::uint32_t> open_error;
};

// What standard output leads to.
enum class FakeStdout {
  None,           // no handle: the parent gave none
  Console,        // a console window
  NulDevice,      // "> NUL": a character device, not a console
  DiskFile,       // "> file"
  Pipe,           // a pipe whose reader is there
  PipeReaderGone  // a pipe whose reader closed its end
};

class FakeWin32Process final : public Win32Process {
 public:
  FakeWin32Process();

  [[nodiscard]] FaultPlan& faults() { return state_->faults; }

  void add_process(FakeProcessEntry process);
  void set_current_process(std::uint32_t id);
  // The process ends: its waits return, and its id names nothing any more.
  void end_process(std::uint32_t id);
  void set_stdout(FakeStdout kind);
  // The access rights of the last successful OpenProcess.
  [[nodiscard]] std::uint32_t last_open_access() const;

  [[nodiscard]] Result<std::vector<ProcessEntry>> process_snapshot() override;
  [[nodiscard]] std::uint32_t get_current_process_id() override;
  [[nodiscard]] Result<std::unique_ptr<ProcessWait>> open_process(std::uint32_t desired_access,
                                                                  std::uint32_t process_id) override;
  [[nodiscard]] std::unique_ptr<ProcessWait> get_current_process() override;
  [[nodiscard]] std::uint32_t get_file_type_stdout() override;
  [[nodiscard]] Status write_file_stdout_zero_bytes() override;
  [[nodiscard]] Status get_console_mode_stdout() override;

  // Shared with the handles, which may outlive the fake on a detached thread.
  struct State {
    FaultPlan faults;
    Mutex mutex;
    std::condition_variable ended;
    std::map<std::uint32_t, FakeProcessEntry> processes QVX_GUARDED_BY(mutex);
    std::map<std::uint32_t, bool> exited QVX_GUARDED_BY(mutex);
    std::uint32_t current QVX_GUARDED_BY(mutex) = 0;
    std::uint32_t last_open_access QVX_GUARDED_BY(mutex) = 0;
    FakeStdout stdout_kind QVX_GUARDED_BY(mutex) = FakeStdout::Pipe;
  };

 private:
  std::shared_ptr<State> state_;
};

}  // namespace quorvex::platform::fake
