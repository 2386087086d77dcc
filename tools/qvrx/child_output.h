// The standard output of a child command, read as a byte stream: qvrx runs
// ffmpeg this way to decode the pictures of a recorded stream, and python3 to
// draw a plot. The command line is built from separate arguments, each quoted
// for the system's shell; the child shares qvrx's standard error.
//
// Thread contract: one owner; not shared between threads.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace quorvex::tools {

struct ChildExit {
  // The child ended by itself (not by a signal) with this exit code.
  bool exited = false;
  int code = -1;
  // The shell could not find the program.
  bool not_found = false;
  [[nodiscard]] bool succeeded() const { return exited && code == 0; }
};

class ChildOutput {
 public:
  // Starts the command; is_open() tells whether the shell could be started
  // (a missing program shows up later as an empty output and a failed close).
  explicit ChildOutput(const std::vector<std::string>& argv);
  ~ChildOutput();
  ChildOutput(const ChildOutput&) = delete;
  ChildOutput& operator=(const ChildOutput&) = delete;

  [[nodiscard]] bool is_open() const { return pipe_ != nullptr; }

  // Fills the whole buffer unless the output ends first; returns the bytes read.
  [[nodiscard]] std::size_t read(std::span<std::byte> buffer);

  // Waits for the child.
  [[nodiscard]] ChildExit close();

 private:
  std::FILE* pipe_ = nullptr;
};

}  // namespace quorvex::tools
