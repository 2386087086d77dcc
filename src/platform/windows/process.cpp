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
#include <system_error>
#include <thread>

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

// The id of the process that started this one, from a snapshot of the
// process list (Windows has no getppid); 0 when it cannot be told.
DWORD parent_process_id() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return 0;
  }
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return parent;
}

std::uint64_t creation_time(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (GetProcessTimes(process, &created, &exited, &kernel, &user) == 0) {
    return 0;
  }
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

}  // namespace

std::expected<void, std::string> watch_parent_exit(std::function<void()> on_exit) {
  const DWORD parent_id = parent_process_id();
  if (parent_id == 0) {
    return {};
  }
  const HANDLE parent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_id);
  if (parent == nullptr) {
    // Gone already (or not ours to open): a process id is not reserved for
    // the children of an ended process.
    if (GetLastError() == ERROR_INVALID_PARAMETER) {
      on_exit();
    }
    return {};
  }
  // Ids are reused: a process created after this one cannot be its parent,
  // so the parent ended before the snapshot and its id went to another.
  const std::uint64_t parent_created = creation_time(parent);
  const std::uint64_t self_created = creation_time(GetCurrentProcess());
  if (parent_created != 0 && self_created != 0 && parent_created > self_created) {
    CloseHandle(parent);
    on_exit();
    return {};
  }
  try {
    std::thread([parent, on_exit = std::move(on_exit)] {
      set_current_thread_name("parent-watch");
      static_cast<void>(WaitForSingleObject(parent, INFINITE));
      CloseHandle(parent);
      on_exit();
    }).detach();
  } catch (const std::system_error& e) {
    CloseHandle(parent);
    return std::unexpected(std::string("cannot start the parent-watch thread: ") + e.what());
  }
  return {};
}

bool standard_output_is_terminal() {
  // A console, not any character device: "> NUL" is one too.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

bool standard_output_reader_gone() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) != FILE_TYPE_PIPE) {
    return false;
  }
  // A zero-byte write moves no data, but fails on a pipe whose reader has
  // closed its end (ERROR_NO_DATA, "The pipe is being closed").
  DWORD written = 0;
  if (WriteFile(out, "", 0, &written, nullptr) != FALSE) {
    return false;
  }
  const DWORD error = GetLastError();
  return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
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
