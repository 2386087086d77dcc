#include <csignal>

#include "app/process_setup.h"

namespace quorvex::app {

Result<void> prepare_standard_streams() {
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    return fail("cannot ignore SIGPIPE");
  }
  return {};
}

Result<std::vector<std::string>> command_line_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }
  return args;
}

}  // namespace quorvex::app
