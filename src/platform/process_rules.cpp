#include "platform/process_rules.h"

#include <system_error>
#include <thread>
#include <utility>

#include "platform/process.h"

namespace quorvex::platform {

ParentLookup find_parent_process(Win32Process& calls) {
  auto snapshot = calls.process_snapshot();
  if (!snapshot) {
    return {};
  }
  const std::uint32_t self = calls.get_current_process_id();
  std::uint32_t parent_id = 0;
  for (const ProcessEntry& entry : *snapshot) {
    if (entry.process_id == self) {
      parent_id = entry.parent_process_id;
      break;
    }
  }
  if (parent_id == 0) {
    return {};
  }
  auto parent = calls.open_process(win32::synchronize | win32::process_query_limited_information, parent_id);
  if (!parent) {
    // Any other failure (access denied: a parent of another user or a
    // protected process) leaves its state unknown.
    if (parent.error().code() == status::error_invalid_parameter) {
      return {ParentLookup::State::Ended, nullptr};
    }
    return {};
  }
  const auto parent_created = (*parent)->get_process_times_creation();
  const auto self_created = calls.get_current_process()->get_process_times_creation();
  if (parent_created && self_created && *parent_created > *self_created) {
    return {ParentLookup::State::Ended, nullptr};
  }
  return {ParentLookup::State::Running, std::move(*parent)};
}

void wait_for_parent_exit(ProcessWait& parent, const std::function<void()>& on_exit) {
  if (parent.wait_for_single_object()) {
    on_exit();
  }
}

std::expected<void, std::string> watch_parent_process(std::shared_ptr<Win32Process> calls,
                                                      std::function<void()> on_exit) {
  ParentLookup lookup = find_parent_process(*calls);
  switch (lookup.state) {
    case ParentLookup::State::Unknown:
      return {};
    case ParentLookup::State::Ended:
      on_exit();
      return {};
    case ParentLookup::State::Running:
      break;
  }
  try {
    std::thread([parent = std::move(lookup.parent), on_exit = std::move(on_exit)] {
      set_current_thread_name("parent-watch");
      wait_for_parent_exit(*parent, on_exit);
    }).detach();
  } catch (const std::system_error& e) {
    return std::unexpected(std::string("cannot start the parent-watch thread: ") + e.what());
  }
  return {};
}

bool stdout_reader_gone(Win32Process& calls) {
  if (calls.get_file_type_stdout() != win32::file_type_pipe) {
    return false;
  }
  const Status written = calls.write_file_stdout_zero_bytes();
  return !written && (written.error().code() == win32::error_no_data ||
                      written.error().code() == win32::error_broken_pipe);
}

bool stdout_is_console(Win32Process& calls) { return calls.get_console_mode_stdout().has_value(); }

}  // namespace quorvex::platform
