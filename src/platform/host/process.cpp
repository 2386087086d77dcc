#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

std::expected<void, std::string> watch_parent_exit(std::function<void()> on_exit) {
  const pid_t parent = ::getppid();
  if (parent <= 1) {
    // Started by init, or re-parented to it already: no parent to follow.
    return {};
  }
  // A descriptor that becomes readable when the parent ends (Linux 5.3 and
  // later). Not PR_SET_PDEATHSIG: it fires when the parent *thread* that
  // started this process ends (prctl(2)), so a parent that spawns from a
  // short-lived worker thread would stop its helper at once.
#ifdef SYS_pidfd_open
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, parent, 0));
#else
  int pidfd = -1;
#endif
  // The parent may have ended before the descriptor was open (the pid then
  // names whoever has it now): the re-parenting tells.
  if (::getppid() != parent) {
    if (pidfd >= 0) {
      ::close(pidfd);
    }
    on_exit();
    return {};
  }
  try {
    std::thread([pidfd, parent, on_exit = std::move(on_exit)] {
      set_current_thread_name("parent-watch");
      if (pidfd >= 0) {
        pollfd ready{pidfd, POLLIN, 0};
        while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
        }
        ::close(pidfd);
      } else {
        // Older kernels: the re-parenting, looked at ten times a second.
        while (::getppid() == parent) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
      on_exit();
    }).detach();
  } catch (const std::system_error& e) {
    if (pidfd >= 0) {
      ::close(pidfd);
    }
    return std::unexpected(std::string("cannot start the parent-watch thread: ") + e.what());
  }
  return {};
}

bool standard_output_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool standard_output_reader_gone() {
  pollfd out{STDOUT_FILENO, 0, 0};
  // Events 0: only the conditions poll always reports. POLLERR is a pipe
  // whose reader closed; POLLHUP a socket shut down both ways.
  return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

void set_current_thread_name(std::string_view name) {
  // Linux keeps 15 bytes of a thread name and refuses longer ones, so
  // "media-foundation-output" shows as its first 15 characters.
  constexpr std::size_t max_name_bytes = 15;
  const std::string shown(name.substr(0, max_name_bytes));
  static_cast<void>(pthread_setname_np(pthread_self(), shown.c_str()));
}

}  // namespace quorvex::platform
