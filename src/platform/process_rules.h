// The decisions of the process functions of process.h on Windows, above the
// Win32 calls they make (win32_process.h): which process is the parent and
// whether it is still the one that started us, when its end is told, and
// what standard output leads to. The Windows platform runs them on the real
// calls; the tests run them on the fake on any system.
//
// Thread contract: as the calls'; watch_parent_process starts a thread.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "platform/win32_process.h"

namespace quorvex::platform {

// What became of the parent at start.
struct ParentLookup {
  enum class State {
    // No way to tell: no snapshot, no parent id, a parent not ours to open.
    // Never reported as ended.
    Unknown,
    // It ended before it could be opened (or its id went to a younger process).
    Ended,
    // Open with SYNCHRONIZE: `parent` is waited on.
    Running,
  };
  State state = State::Unknown;
  std::unique_ptr<ProcessWait> parent;
};

// The parent from a process snapshot (Windows has no getppid), opened with
// SYNCHRONIZE and PROCESS_QUERY_LIMITED_INFORMATION. Process ids are reused
// and a parent's end does not reserve its id, so a process created after
// this one cannot be its parent: that parent has ended.
[[nodiscard]] ParentLookup find_parent_process(Win32Process& calls);

// Waits for `parent` to end and then calls on_exit; a failed wait says
// nothing about the parent, so it returns without the call.
void wait_for_parent_exit(ProcessWait& parent, const std::function<void()>& on_exit);

// watch_parent_exit on these calls: on_exit at once for a parent already
// gone, on a detached "parent-watch" thread for a running one, never for
// one that cannot be told.
[[nodiscard]] std::expected<void, std::string> watch_parent_process(std::shared_ptr<Win32Process> calls,
                                                                    std::function<void()> on_exit);

// A pipe whose reader closed its end fails a zero-byte write with
// ERROR_NO_DATA (or ERROR_BROKEN_PIPE); files, consoles and devices are
// never written to here, so nothing they hold changes.
[[nodiscard]] bool stdout_reader_gone(Win32Process& calls);

// A console, not any character device: "> NUL" is one too and takes records.
[[nodiscard]] bool stdout_is_console(Win32Process& calls);

}  // namespace quorvex::platform
