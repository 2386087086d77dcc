// Command lines the program must refuse with one exact error line, whatever
// the system: shared by the host's process test and the Windows one under
// Wine, so both check the same bytes.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace quorvex::testing_cases {

struct ProcessCase {
  std::vector<std::string> args;
  std::string stderr_bytes;
};

inline void PrintTo(const ProcessCase& c, std::ostream* os) {
  for (const auto& a : c.args) {
    *os << "'" << a << "' ";
  }
}

inline std::vector<ProcessCase> command_line_error_cases() {
  return {
      {{"--width", "0"}, "error: dimensions, fps, bitrate and duration must be greater than zero\n"},
      {{"--width=640"}, "error: unknown argument: --width=640\n"},
      {{"--fps"}, "error: --fps requires a value\n"},
      {{"--width", "-640"}, "error: invalid digit found in string\n"},
      {{"--width", "4294967296"}, "error: number too large to fit in target type\n"},
      {{"--source", "window", "--window-title", "marker"},
       "error: --source window requires --content-width and --content-height\n"},
      // Non-ASCII survives the command line (UTF-16 on Windows).
      {{"--titl\xC3\xA9"}, "error: unknown argument: --titl\xC3\xA9\n"},
      {{"--preflight", "--fps", "30"}, "error: unknown argument: --preflight\n"},
      // A flag takes no value: a word after it is an argument of its own.
      {{"--quiet", "yes"}, "error: unknown argument: yes\n"},
  };
}

}  // namespace quorvex::testing_cases
