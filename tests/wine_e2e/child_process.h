// Starts a Windows program with pipes on its standard streams, as the parent
// of the capture helper does, and collects what it wrote and how it ended.
//
// Thread contract: any thread; each call owns its child and its pipes.
#pragma once

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quorvex::wine_e2e {

// A path as CMake knows it: a Unix path under Wine (drive Z: is the Unix
// root there), a Windows path on Windows.
[[nodiscard]] std::wstring windows_path(const std::string& path);

// The UTF-16 form of UTF-8 text.
[[nodiscard]] std::wstring widen(const std::string& utf8);

struct ChildOutcome {
  bool started = false;
  bool timed_out = false;  // killed after the limit
  DWORD exit_code = 0;
  std::string out;
  std::string err;
};

// Runs `program` with `args` (UTF-8) to its end; stdin is a pipe the driver
// keeps open until then, like the parent's. A child still running after
// `limit` is killed and reported as timed out.
[[nodiscard]] ChildOutcome run_to_end(const std::string& program, const std::vector<std::string>& args,
                                      std::chrono::milliseconds limit);

// A child left running (the window helper); killed when destroyed.
class RunningChild {
 public:
  RunningChild(const std::string& program, const std::vector<std::string>& args);
  ~RunningChild();
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;

  [[nodiscard]] bool started() const { return process_ != nullptr; }
  // The first line of its stdout, without the line break; empty when the
  // child ended or wrote nothing within `limit`.
  [[nodiscard]] std::string first_line(std::chrono::milliseconds limit);

 private:
  HANDLE process_ = nullptr;
  HANDLE out_read_ = nullptr;
};

}  // namespace quorvex::wine_e2e
