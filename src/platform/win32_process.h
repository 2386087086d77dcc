// The Win32 calls behind the process's side of the parent's contract on
// Windows: finding and watching the process that started this one, and
// asking what standard output leads to. One operation per call, in Win32's
// vocabulary, so the rules built on them (process_rules.h) run against a
// fake on any system; the Windows platform library has the real calls.
//
// Thread contract: every operation may be called from any thread; a
// ProcessWait is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/error.h"

namespace quorvex::platform {

namespace win32 {
inline constexpr std::uint32_t synchronize = 0x00100000;
inline constexpr std::uint32_t process_query_limited_information = 0x1000;
// GetFileType.
inline constexpr std::uint32_t file_type_unknown = 0;
inline constexpr std::uint32_t file_type_disk = 1;
inline constexpr std::uint32_t file_type_char = 2;
inline constexpr std::uint32_t file_type_pipe = 3;
// Last errors the rules tell apart.
inline constexpr std::uint32_t error_invalid_handle = 6;
inline constexpr std::uint32_t error_broken_pipe = 109;
inline constexpr std::uint32_t error_no_data = 232;  // "The pipe is being closed."
}  // namespace win32

// One PROCESSENTRY32W, reduced to what the program reads.
struct ProcessEntry {
  std::uint32_t process_id = 0;
  std::uint32_t parent_process_id = 0;
};

// A process handle from OpenProcess or GetCurrentProcess; CloseHandle runs
// in the destructor (a no-op for the pseudo-handle).
class ProcessWait {
 public:
  virtual ~ProcessWait() = default;
  // GetProcessTimes: the creation time (FILETIME, 100-ns units since 1601).
  // Needs PROCESS_QUERY_(LIMITED_)INFORMATION access.
  [[nodiscard]] virtual Result<std::uint64_t> get_process_times_creation() = 0;
  // WaitForSingleObject(process, INFINITE): returns once the process has
  // ended; fails (WAIT_FAILED) without SYNCHRONIZE access.
  [[nodiscard]] virtual Status wait_for_single_object() = 0;
};

class Win32Process {
 public:
  virtual ~Win32Process() = default;

  // CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS) walked with
  // Process32FirstW / Process32NextW.
  [[nodiscard]] virtual Result<std::vector<ProcessEntry>> process_snapshot() = 0;
  [[nodiscard]] virtual std::uint32_t get_current_process_id() = 0;
  // OpenProcess(desired_access, FALSE, process_id). An id that names no
  // running process fails with ERROR_INVALID_PARAMETER.
  [[nodiscard]] virtual Result<std::unique_ptr<ProcessWait>> open_process(std::uint32_t desired_access,
                                                                          std::uint32_t process_id) = 0;
  // GetCurrentProcess(): the pseudo-handle, with every access right.
  [[nodiscard]] virtual std::unique_ptr<ProcessWait> get_current_process() = 0;

  // Standard output: GetStdHandle(STD_OUTPUT_HANDLE) and a call on it. A
  // process without one (NULL or INVALID_HANDLE_VALUE) has file type
  // FILE_TYPE_UNKNOWN, and its calls fail with ERROR_INVALID_HANDLE.
  [[nodiscard]] virtual std::uint32_t get_file_type_stdout() = 0;
  // WriteFile(handle, "", 0, &written, NULL): moves no data.
  [[nodiscard]] virtual Status write_file_stdout_zero_bytes() = 0;
  // GetConsoleMode: succeeds only on a console.
  [[nodiscard]] virtual Status get_console_mode_stdout() = 0;
};

}  // namespace quorvex::platform
