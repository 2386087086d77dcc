// The standard output of a child command, read as a byte stream: qvrx runs
// ffmpeg this way to decode the pictures of a recorded stream. The command
// line is built from separate arguments, each quoted for the system's shell.
//
// Thread contract: one owner; not shared between threads.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace quorvex::tools {

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

  // Waits for the child; true when it exited with status 0.
  [[nodiscard]] bool close();

 private:
  std::FILE* pipe_ = nullptr;
};

}  // namespace quorvex::tools
