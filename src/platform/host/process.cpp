#include "platform/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>
#include <thread>

namespace quorvex::platform {
namespace {

// The signal handler's only work: one byte into a pipe (write is
// async-signal-safe). The thread on the other end runs the callback.
int stop_pipe_write_end = -1;

extern "C" void on_stop_signal(int signal_number) {
  const int saved_errno = errno;
  const unsigned char byte = signal_number == SIGINT ? 'i' : 't';
  static_cast<void>(!::write(stop_pipe_write_end, &byte, 1));
  errno = saved_errno;
}

}  // namespace

std::expected<void, std::string> prepare_standard_streams() {
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    return std::unexpected(std::string("cannot ignore SIGPIPE"));
  }
  return {};
}

std::expected<std::vector<std::string>, std::string> command_line_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::expected<void, std::string> watch_stop_requests(std::function<void(StopRequest)> on_request) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return std::unexpected(std::string("cannot create the stop-request pipe: ") + std::strerror(errno));
  }
  stop_pipe_write_end = ends[1];
  // The thread outlives main's statics: it owns its callback and blocks in
  // read() until a signal comes or the process ends.
  try {
    std::thread([read_end = ends[0], on_request = std::move(on_request)] {
      set_current_thread_name("stop-requests");
      unsigned char byte = 0;
      for (;;) {
        const ssize_t got = ::read(read_end, &byte, 1);
        if (got == 1) {
          on_request(byte == 'i' ? StopRequest::Interrupt : StopRequest::Terminate);
        } else if (got < 0 && errno == EINTR) {
          continue;
        } else {
          return;
        }
      }
    }).detach();
  } catch (const std::system_error& e) {
    return std::unexpected(std::string("cannot start the stop-request thread: ") + e.what());
  }
  struct sigaction action{};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal_number : {SIGINT, SIGTERM}) {
    if (::sigaction(signal_number, &action, nullptr) != 0) {
      return std::unexpected(std::string("cannot watch signals: ") + std::strerror(errno));
    }
  }
  return {};
}

void set_current_thread_name(std::string_view name) {
  // Linux keeps 15 bytes of a thread name and refuses longer ones, so
  // "media-foundation-output" shows as its first 15 characters.
  constexpr std::size_t max_name_bytes = 15;
  const std::string shown(name.substr(0, max_name_bytes));
  static_cast<void>(pthread_setname_np(pthread_self(), shown.c_str()));
}

}  // namespace quorvex::platform
