#include "platform/process.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <functional>
#include <memory>

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
