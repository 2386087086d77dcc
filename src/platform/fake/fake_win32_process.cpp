#include "platform/fake/fake_win32_process.h"

#include <utility>

namespace quorvex::platform::fake {
namespace {

constexpr std::uint32_t all_access = 0x001FFFFF;  // PROCESS_ALL_ACCESS
constexpr std::uint32_t process_query_information = 0x0400;

class FakeProcessWait final : public ProcessWait {
 public:
  FakeProcessWait(std::shared_ptr<FakeWin32Process::State> state, std::uint32_t id, std::uint32_t access,
                  std::uint64_t created_100ns)
      : state_(std::move(state)), id_(id), access_(access), created_100ns_(created_100ns) {}

  Result<std::uint64_t> get_process_times_creation() override {
    if (const auto d = state_->faults.on_call("get_process_times"); d.outcome == FaultPlan::Outcome::Fail) {
      return fail(d.code);
    }
    if ((access_ & (win32::process_query_limited_information | process_query_information)) == 0) {
      return fail(status::error_access_denied);
    }
    return created_100ns_;
  }

  Status wait_for_single_object() override {
    if (const auto d = state_->faults.on_call("wait_for_single_object"); d.outcome == FaultPlan::Outcome::Fail) {
      return fail(d.code);
    }
    if ((access_ & win32::synchronize) == 0) {
      return fail(status::error_access_denied);
    }
    MutexLock lock(state_->mutex);
    lock.wait(state_->ended, [this]() QVX_REQUIRES(state_->mutex) { return state_->exited[id_]; });
    return {};
  }

 private:
  std::shared_ptr<FakeWin32Process::State> state_;
  std::uint32_t id_;
  std::uint32_t access_;
  std::uint64_t created_100ns_;
};

}  // namespace

FakeWin32Process::FakeWin32Process() : state_(std::make_shared<State>()) {}

void FakeWin32Process::add_process(FakeProcessEntry process) {
  const MutexLock lock(state_->mutex);
  state_->exited[process.id] = false;
  state_->processes[process.id] = process;
}

void FakeWin32Process::set_current_process(std::uint32_t id) {
  const MutexLock lock(state_->mutex);
  state_->current = id;
}

void FakeWin32Process::end_process(std::uint32_t id) {
  {
    const MutexLock lock(state_->mutex);
    state_->processes.erase(id);
    state_->exited[id] = true;
  }
  state_->ended.notify_all();
}

void FakeWin32Process::set_stdout(FakeStdout kind) {
  const MutexLock lock(state_->mutex);
  state_->stdout_kind = kind;
}

std::uint32_t FakeWin32Process::last_open_access() const {
  const MutexLock lock(state_->mutex);
  return state_->last_open_access;
}

Result<std::vector<ProcessEntry>> FakeWin32Process::process_snapshot() {
  if (const auto d = state_->faults.on_call("process_snapshot"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(state_->mutex);
  std::vector<ProcessEntry> entries;
  for (const auto& [id, process] : state_->processes) {
    entries.push_back({id, process.parent_id});
  }
  return entries;
}

std::uint32_t FakeWin32Process::get_current_process_id() {
  const MutexLock lock(state_->mutex);
  return state_->current;
}

Result<std::unique_ptr<ProcessWait>> FakeWin32Process::open_process(std::uint32_t desired_access,
                                                                     std::uint32_t process_id) {
  if (const auto d = state_->faults.on_call("open_process"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(state_->mutex);
  const auto it = state_->processes.find(process_id);
  if (it == state_->processes.end()) {
    return fail(status::error_invalid_parameter);
  }
  if (it->second.open_error) {
    return fail(*it->second.open_error);
  }
  state_->last_open_access = desired_access;
  return std::make_unique<FakeProcessWait>(state_, process_id, desired_access, it->second.created_100ns);
}

std::unique_ptr<ProcessWait> FakeWin32Process::get_current_process() {
  const MutexLock lock(state_->mutex);
  const auto it = state_->processes.find(state_->current);
  const std::uint64_t created = it == state_->processes.end() ? 0 : it->second.created_100ns;
  return std::make_unique<FakeProcessWait>(state_, state_->current, all_access, created);
}

std::uint32_t FakeWin32Process::get_file_type_stdout() {
  const MutexLock lock(state_->mutex);
  switch (state_->stdout_kind) {
    case FakeStdout::None: return win32::file_type_unknown;
    case FakeStdout::Console:
    case FakeStdout::NulDevice: return win32::file_type_char;
    case FakeStdout::DiskFile: return win32::file_type_disk;
    case FakeStdout::Pipe:
    case FakeStdout::PipeReaderGone: return win32::file_type_pipe;
  }
  return win32::file_type_unknown;
}

Status FakeWin32Process::write_file_stdout_zero_bytes() {
  if (const auto d = state_->faults.on_call("write_file"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(state_->mutex);
  switch (state_->stdout_kind) {
    case FakeStdout::None: return fail(win32::error_invalid_handle);
    case FakeStdout::PipeReaderGone: return fail(win32::error_no_data);
    default: return {};
  }
}

Status FakeWin32Process::get_console_mode_stdout() {
  if (const auto d = state_->faults.on_call("get_console_mode"); d.outcome == FaultPlan::Outcome::Fail) {
    return fail(d.code);
  }
  const MutexLock lock(state_->mutex);
  if (state_->stdout_kind == FakeStdout::Console) {
    return {};
  }
  return fail(win32::error_invalid_handle);
}

}  // namespace quorvex::platform::fake
