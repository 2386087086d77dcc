#include "child_process.h"

#include <thread>

namespace quorvex::wine_e2e {
namespace {

// Closes a handle on scope exit; null and INVALID_HANDLE_VALUE are skipped.
struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

struct Pipe {
  OwnedHandle read;
  OwnedHandle write;
};

// Only the child's end is inheritable, so the child holds no copy of ours
// and end of file arrives when the child closes its end.
bool make_pipe(Pipe& pipe, bool child_reads) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, &attributes, 0)) {
    return false;
  }
  pipe.read.reset(read);
  pipe.write.reset(write);
  return SetHandleInformation(child_reads ? write : read, HANDLE_FLAG_INHERIT, 0) != 0;
}

// The command-line quoting CommandLineToArgvW undoes: backslashes double
// only before a quote.
void append_quoted(std::wstring& line, const std::wstring& arg) {
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

void drain(HANDLE pipe, std::string& sink) {
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    sink.append(buffer, n);
  }
}

struct Started {
  OwnedHandle process;
  OwnedHandle in_write;
  OwnedHandle out_read;
  OwnedHandle err_read;
};

bool start(const std::string& program, const std::vector<std::string>& args, Started& started) {
  Pipe in, out, err;
  if (!make_pipe(in, true) || !make_pipe(out, false) || !make_pipe(err, false)) {
    return false;
  }
  const std::wstring path = windows_path(program);
  std::wstring line;
  append_quoted(line, path);
  for (const std::string& arg : args) {
    line += L' ';
    append_quoted(line, widen(arg));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.read.get();
  startup.hStdOutput = out.write.get();
  startup.hStdError = err.write.get();
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  started.process.reset(info.hProcess);
  started.in_write = std::move(in.write);
  started.out_read = std::move(out.read);
  started.err_read = std::move(err.read);
  return true;
}

}  // namespace

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::wstring windows_path(const std::string& path) {
  std::wstring wide = widen(path);
  if (!wide.empty() && wide.front() == L'/') {
    wide.insert(0, L"Z:");
  }
  for (wchar_t& c : wide) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  return wide;
}

ChildOutcome run_to_end(const std::string& program, const std::vector<std::string>& args,
                        std::chrono::milliseconds limit) {
  ChildOutcome outcome;
  Started child;
  if (!start(program, args, child)) {
    return outcome;
  }
  outcome.started = true;
  std::thread out_reader([&] { drain(child.out_read.get(), outcome.out); });
  std::thread err_reader([&] { drain(child.err_read.get(), outcome.err); });
  if (WaitForSingleObject(child.process.get(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
    outcome.timed_out = true;
    TerminateProcess(child.process.get(), 0xDEAD);
    WaitForSingleObject(child.process.get(), INFINITE);
  }
  out_reader.join();
  err_reader.join();
  GetExitCodeProcess(child.process.get(), &outcome.exit_code);
  return outcome;
}

RunningChild::RunningChild(const std::string& program, const std::vector<std::string>& args) {
  Started child;
  if (start(program, args, child)) {
    process_ = child.process.release();
    out_read_ = child.out_read.release();
  }
}

RunningChild::~RunningChild() {
  if (process_ != nullptr) {
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, INFINITE);
    CloseHandle(process_);
  }
  if (out_read_ != nullptr) {
    CloseHandle(out_read_);
  }
}

std::string RunningChild::first_line(std::chrono::milliseconds limit) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (out_read_ != nullptr && std::chrono::steady_clock::now() < deadline) {
    DWORD available = 0;
    if (!PeekNamedPipe(out_read_, nullptr, 0, nullptr, &available, nullptr)) {
      break;  // the child ended without a line
    }
    if (available == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    char c = 0;
    DWORD n = 0;
    if (!ReadFile(out_read_, &c, 1, &n, nullptr) || n == 0) {
      break;
    }
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return line;
    }
    line += c;
  }
  return {};
}

}  // namespace quorvex::wine_e2e
