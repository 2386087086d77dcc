#include "app/stderr_line.h"

#include <cstdio>
#include <string>

namespace quorvex::app {

void write_stderr_line(std::string_view line_without_newline) {
  std::string line;
  line.reserve(line_without_newline.size() + 1);
  line.append(line_without_newline);
  line.push_back('\n');
  // stderr is unbuffered, so one fwrite is one write to the descriptor; the
  // stream's own lock keeps concurrent calls whole.
  const std::size_t written = std::fwrite(line.data(), 1, line.size(), stderr);
  static_cast<void>(written);
  static_cast<void>(std::fflush(stderr));
}

}  // namespace quorvex::app
