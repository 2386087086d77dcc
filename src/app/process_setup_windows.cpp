#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/process_setup.h"
#include "app/utf8_from_utf16.h"

namespace quorvex::app {
namespace {

// A stream the parent did not connect has no descriptor; there is nothing to
// translate on it then.
Result<void> set_binary(std::FILE* stream, const char* name) {
  const int fd = _fileno(stream);
  if (fd < 0) {
    return {};
  }
  if (_setmode(fd, _O_BINARY) == -1) {
    return fail(std::string("cannot set ") + name + " to binary mode");
  }
  return {};
}

struct LocalFreeDeleter {
  void operator()(LPWSTR* argv) const { LocalFree(argv); }
};

}  // namespace

Result<void> prepare_standard_streams() {
  // stderr too: diagnostic lines end in a bare line feed, as the parent
  // expects on every platform.
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
Result<std::vector<std::string>> command_line_arguments(int, char**) {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreeDeleter> wide_argv(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!wide_argv) {
    return fail("cannot read the command line");
  }
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) {
    const wchar_t* wide = wide_argv.get()[i];
    std::u16string units;
    for (; *wide != L'\0'; ++wide) {
      units.push_back(static_cast<char16_t>(*wide));
    }
    args.push_back(utf8_from_utf16(units));
  }
  return args;
}

}  // namespace quorvex::app
