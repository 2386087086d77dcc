#include "platform/process.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/process_rules.h"
#include "platform/win32_process.h"
#include "platform/windows/utf16.h"

namespace quorvex::platform {
namespace {

// A stream the parent did not connect has no descriptor; there is nothing to
// translate on it then.
std::expected<void, std::string> set_binary(std::FILE* stream, const char* name) {
  const int fd = _fileno(stream);
  if (fd < 0) {
    return {};
  }
  if (_setmode(fd, _O_BINARY) == -1) {
    return std::unexpected(std::string("cannot set ") + name + " to binary mode");
  }
  return {};
}

// Set once, before the handler routine is registered; never freed, since
// the routine may run while the process exits.
std::function<void(StopRequest)>* stop_callback = nullptr;

// Runs on a thread the system creates for each console control event.
BOOL WINAPI on_console_control(DWORD event) {
  StopRequest request;
  switch (event) {
    case CTRL_C_EVENT: request = StopRequest::Interrupt; break;
    case CTRL_BREAK_EVENT: request = StopRequest::Break; break;
    case CTRL_CLOSE_EVENT: request = StopRequest::Close; break;
    default: return FALSE;  // logoff and shutdown: the default handling
  }
  (*stop_callback)(request);
  if (request == StopRequest::Close) {
    // Returning would end the process now; the session ends it instead
    // once its records and summary are out, or Windows does at its timeout.
    Sleep(INFINITE);
  }
  return TRUE;
}

struct LocalFreeDeleter {
  void operator()(LPWSTR* argv) const { LocalFree(argv); }
};

}  // namespace

std::expected<void, std::string> prepare_standard_streams() {
  if (auto r = set_binary(stdin, "standard input"); !r) {
    return r;
  }
  if (auto r = set_binary(stdout, "standard output"); !r) {
    return r;
  }
  return set_binary(stderr, "standard error");
}

// The narrow argv of the C runtime is in the ANSI code page and loses
// characters outside it; the UTF-16 command line keeps every window title.
std::expected<std::vector<std::string>, std::string> command_line_arguments(int, char**) {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreeDeleter> wide_argv(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!wide_argv) {
    return std::unexpected(std::string("cannot read the command line"));
  }
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) {
    args.push_back(windows::utf16_to_utf8(windows::from_wide(wide_argv.get()[i])));
  }
  return args;
}

std::expected<void, std::string> watch_stop_requests(std::function<void(StopRequest)> on_request) {
  stop_callback = new std::function<void(StopRequest)>(std::move(on_request));
  if (SetConsoleCtrlHandler(on_console_control, TRUE) == 0) {
    return std::unexpected(std::string("cannot watch console control events"));
  }
  return {};
}

namespace {

class SystemProcessWait final : public ProcessWait {
 public:
  // `owned`: CloseHandle at the end (not for the current-process pseudo-handle).
  SystemProcessWait(HANDLE process, bool owned) : process_(process), owned_(owned) {}
  ~SystemProcessWait() override {
    if (owned_) {
      CloseHandle(process_);
    }
  }
  SystemProcessWait(const SystemProcessWait&) = delete;
  SystemProcessWait& operator=(const SystemProcessWait&) = delete;

  Result<std::uint64_t> get_process_times_creation() override {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (GetProcessTimes(process_, &created, &exited, &kernel, &user) == 0) {
      return fail(GetLastError());
    }
    return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
  }

  Status wait_for_single_object() override {
    if (WaitForSingleObject(process_, INFINITE) == WAIT_FAILED) {
      return fail(GetLastError());
    }
    return {};
  }

 private:
  HANDLE process_;
  bool owned_;
};

class SystemWin32Process final : public Win32Process {
 public:
  Result<std::vector<ProcessEntry>> process_snapshot() override {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
      return fail(GetLastError());
    }
    std::vector<ProcessEntry> entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE; more = Process32NextW(snapshot, &entry)) {
      entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID});
    }
    CloseHandle(snapshot);
    return entries;
  }

  std::uint32_t get_current_process_id() override { return GetCurrentProcessId(); }

  Result<std::unique_ptr<ProcessWait>> open_process(std::uint32_t desired_access,
                                                    std::uint32_t process_id) override {
    const HANDLE process = OpenProcess(desired_access, FALSE, process_id);
    if (process == nullptr) {
      return fail(GetLastError());
    }
    return std::make_unique<SystemProcessWait>(process, true);
  }

  std::unique_ptr<ProcessWait> get_current_process() override {
    return std::make_unique<SystemProcessWait>(GetCurrentProcess(), false);
  }

  std::uint32_t get_file_type_stdout() override {
    const HANDLE out = standard_output();
    return out == nullptr ? FILE_TYPE_UNKNOWN : GetFileType(out);
  }

  Status write_file_stdout_zero_bytes() override {
    const HANDLE out = standard_output();
    DWORD written = 0;
    if (out == nullptr || WriteFile(out, "", 0, &written, nullptr) == FALSE) {
      return fail(out == nullptr ? DWORD{ERROR_INVALID_HANDLE} : GetLastError());
    }
    return {};
  }

  Status get_console_mode_stdout() override {
    const HANDLE out = standard_output();
    DWORD mode = 0;
    if (out == nullptr || GetConsoleMode(out, &mode) == FALSE) {
      return fail(out == nullptr ? DWORD{ERROR_INVALID_HANDLE} : GetLastError());
    }
    return {};
  }

 private:
  // Null for a process the parent gave no standard output.
  static HANDLE standard_output() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out == INVALID_HANDLE_VALUE ? nullptr : out;
  }
};

}  // namespace

std::expected<void, std::string> watch_parent_exit(std::function<void()> on_exit) {
  return watch_parent_process(std::make_shared<SystemWin32Process>(), std::move(on_exit));
}

bool standard_output_is_terminal() {
  SystemWin32Process calls;
  return stdout_is_console(calls);
}

bool standard_output_reader_gone() {
  SystemWin32Process calls;
  return stdout_reader_gone(calls);
}

void set_current_thread_name(std::string_view name) {
  // SetThreadDescription exists from Windows 10 1607 on (and not in every
  // Wine); look it up rather than fail to start on older systems.
  using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) {
    return;
  }
  // Through void(*)(): the one function-pointer cast compilers accept
  // between unrelated signatures without a warning.
  const auto set_description = reinterpret_cast<SetThreadDescriptionFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
  if (set_description == nullptr) {
    return;
  }
  // Thread names are ASCII.
  const std::wstring wide(name.begin(), name.end());
  static_cast<void>(set_description(GetCurrentThread(), wide.c_str()));
}

}  // namespace quorvex::platform
