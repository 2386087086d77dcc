#include <stdio.h>

#include "qvrx/child_output.h"

namespace quorvex::tools {
namespace {

// cmd.exe strips the outer pair of quotes of a /c command that starts with
// one, so the whole line gets an extra pair around it.
std::string cmd_quoted(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"') {
      quoted += "\\\"";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

}  // namespace

ChildOutput::ChildOutput(const std::vector<std::string>& argv) {
  std::string command;
  for (const auto& argument : argv) {
    command += (command.empty() ? "" : " ") + cmd_quoted(argument);
  }
  command = "\"" + command + "\"";
  pipe_ = ::_popen(command.c_str(), "rb");
}

ChildOutput::~ChildOutput() {
  if (pipe_ != nullptr) {
    (void)close();
  }
}

std::size_t ChildOutput::read(std::span<std::byte> buffer) {
  return pipe_ == nullptr ? 0 : std::fread(buffer.data(), 1, buffer.size(), pipe_);
}

ChildExit ChildOutput::close() {
  if (pipe_ == nullptr) {
    return {};
  }
  const int status = ::_pclose(pipe_);
  pipe_ = nullptr;
  if (status == -1) {
    return {};
  }
  // cmd.exe's exit status for a command it cannot find.
  constexpr int shell_not_found = 9009;
  return {.exited = true, .code = status, .not_found = status == shell_not_found};
}

}  // namespace quorvex::tools
