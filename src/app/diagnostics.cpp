#include "app/diagnostics.h"

#include <cstdio>
#include <string>

namespace quorvex::app {

void write_stderr_line(std::string_view line_without_newline) {
  std::string line;
  line.reserve(line_without_newline.size() + 1);
  line.append(line_without_newline);
  line.push_back('\n');
  // stderr is unbuffered: one fwrite is one write, kept whole by the
  // stream's own lock.
  static_cast<void>(std::fwrite(line.data(), 1, line.size(), stderr));
  static_cast<void>(std::fflush(stderr));
}

}  // namespace quorvex::app
