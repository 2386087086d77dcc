#include <stdio.h>
#include <sys/wait.h>

#include "qvrx/child_output.h"

namespace quorvex::tools {
namespace {

std::string shell_quoted(const std::string& argument) {
  std::string quoted = "'";
  for (char c : argument) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

ChildOutput::ChildOutput(const std::vector<std::string>& argv) {
  std::string command;
  for (const auto& argument : argv) {
    command += (command.empty() ? "" : " ") + shell_quoted(argument);
  }
  pipe_ = ::popen(command.c_str(), "r");
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
  const int status = ::pclose(pipe_);
  pipe_ = nullptr;
  if (status == -1 || !WIFEXITED(status)) {
    return {};
  }
  // The shell's exit status for a command it cannot find.
  constexpr int shell_not_found = 127;
  return {.exited = true, .code = WEXITSTATUS(status), .not_found = WEXITSTATUS(status) == shell_not_found};
}

}  // namespace quorvex::tools
