#include "platform/process.h"

#include <pthread.h>

#include <csignal>

namespace quorvex::platform {

std::expected<void, std::string> prepare_standard_streams() {
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    return std::unexpected(std::string("cannot ignore SIGPIPE"));
  }
  return {};
}

std::expected<std::vector<std::string>, std::string> command_line_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void set_current_thread_name(std::string_view name) {
  // Linux keeps 15 bytes of a thread name and refuses longer ones, so
  // "media-foundation-output" shows as its first 15 characters.
  constexpr std::size_t max_name_bytes = 15;
  const std::string shown(name.substr(0, max_name_bytes));
  static_cast<void>(pthread_setname_np(pthread_self(), shown.c_str()));
}

}  // namespace quorvex::platform
