// Runs the real executable as a child process and checks what the parent
// sees: the exit status, the exact bytes on stderr and an empty stdout.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "command_line_error_cases.h"

#include <array>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct ChildOutcome {
  int exit_status = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

ChildOutcome run_encoder(const std::vector<std::string>& args) {
  std::array<int, 2> out_pipe{}, err_pipe{};
  EXPECT_EQ(pipe(out_pipe.data()), 0);
  EXPECT_EQ(pipe(err_pipe.data()), 0);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  for (const int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }

  std::vector<std::string> argv_storage{QVX_ENCODER_PATH};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_storage) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, QVX_ENCODER_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);

  ChildOutcome outcome;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << QVX_ENCODER_PATH;
    close(out_pipe[0]);
    close(err_pipe[0]);
    return outcome;
  }
  std::array<pollfd, 2> fds{{{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&outcome.out, &outcome.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      break;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status)) {
    outcome.exit_status = WEXITSTATUS(status);
  }
  return outcome;
}

using quorvex::testing_cases::ProcessCase;

class EncoderProcess : public testing::TestWithParam<ProcessCase> {};

TEST_P(EncoderProcess, FailsWithOneErrorLineStatusOneAndNoStdout) {
  const auto& c = GetParam();
  const ChildOutcome outcome = run_encoder(c.args);
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.err, c.stderr_bytes);
  EXPECT_EQ(outcome.out, "");
}

std::vector<ProcessCase> host_cases() {
  std::vector<ProcessCase> cases = quorvex::testing_cases::command_line_error_cases();
  cases.insert(cases.end(), {
        // A capture session answers the border question before it resolves
        // its item, also when the item then cannot be resolved; its end line
        // comes just before the error line.
        ProcessCase{{"--display-id", "0"},
                    "capture_border hidden=true\nsession_end reason=error\nerror: Monitor index is lower than one\n"},
        ProcessCase{{"--display-id", "3"},
                    "capture_border hidden=true\nsession_end reason=error\nerror: Failed to find monitor\n"},
        ProcessCase{{"--source", "window", "--window-id", "12345"},
                    "capture_border hidden=true\nsession_end reason=error\nerror: window not found (id)\n"}});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, EncoderProcess, testing::ValuesIn(host_cases()));

// Commands take effect while the parent keeps stdin open: the reader must
// hand each line over as soon as its line feed arrives, not wait for more
// input or for the end of it.
TEST(ControlReaderProcess, AppliesCommandsWithoutWaitingForEndOfInput) {
  std::array<int, 2> in_pipe{}, out_pipe{}, err_pipe{};
  ASSERT_EQ(pipe(in_pipe.data()), 0);
  ASSERT_EQ(pipe(out_pipe.data()), 0);
  ASSERT_EQ(pipe(err_pipe.data()), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  for (const int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::string path = QVX_CONTROL_READER_CHILD_PATH;
  char* argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  ASSERT_EQ(spawned, 0);

  const std::string commands = "KEYFRAME\nbogus\nCROP 1280 720\nPAUSE\n";
  ASSERT_EQ(write(in_pipe[1], commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
  // The child reports once it has paused; stdin is still open at that point.
  std::string out;
  char buffer[256];
  for (ssize_t n; (n = read(out_pipe[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  close(in_pipe[1]);
  std::string err;
  for (ssize_t n; (n = read(err_pipe[0], buffer, sizeof buffer)) > 0;) {
    err.append(buffer, static_cast<std::size_t>(n));
  }
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(out, "keyframe_request=1 content_size=" + std::to_string((std::uint64_t{1280} << 32) | 720) +
                     " paused=1\n");
  EXPECT_EQ(err, "control_ignored command=unknown reason=malformed\ncapture_window crop=1280x720\n"
                 "capture_window paused=true\n");
}

}  // namespace
