// A reference parent for quorvex-wgc-encoder, in C++ (POSIX and Windows).
//
// It starts a capture session with its three standard streams on pipes,
// reads the frame records from standard output as they arrive with the
// library's FrameRecordReader, drains standard error on a thread of its own
// (a helper whose diagnostics nobody reads would lose lines), asks for a
// keyframe, pauses and resumes, ends the session with STOP, and checks what
// the helper promises: the summary counts every record read, and the last
// line says why the session ended.
//
//   example_parent [--encoder PATH] [HELPER OPTIONS...]
//
// Exit status 0 when every check held. Copy it freely: everything specific to
// one system is in the Helper class, the rest is the protocol.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "sender/frame_record_reader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;
#endif

namespace {

using quorvex::sender::FrameRecord;
using quorvex::sender::FrameRecordReader;
using Clock = std::chrono::steady_clock;

// How long the helper may take to answer a command. Generous: a loaded
// machine answers in milliseconds, and a helper that does not answer at all
// is killed when it runs out.
constexpr std::chrono::seconds answer_timeout{30};

// ---- the child process ----
//
// The helper with its standard streams on pipes. Each pipe is used by one
// thread: standard input by the caller, standard output by the record
// reader, standard error by the diagnostics thread. read_* return the number
// of bytes read, 0 at the end of the stream.

#ifdef _WIN32

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

// Quotes one argument so that the child's CommandLineToArgvW (or C runtime)
// reads it back unchanged: backslashes count only before a quote. See
// "Everyone quotes command line arguments the wrong way" (Microsoft, The Old
// New Thing / Daniel Colascione, 2011).
void append_argument(std::wstring& line, const std::wstring& argument) {
  if (!line.empty()) {
    line += L' ';
  }
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < argument.size() && argument[i] == L'\\') {
      ++backslashes;
      ++i;
    }
    if (i == argument.size()) {
      line.append(backslashes * 2, L'\\');  // before the closing quote
      break;
    }
    if (argument[i] == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    line += argument[i];
  }
  line += L'"';
}

class Helper {
 public:
  static std::expected<std::unique_ptr<Helper>, std::string> start(const std::vector<std::string>& command) {
    std::unique_ptr<Helper> helper(new Helper);
    // The child's ends are inheritable, ours are not; the child's are closed
    // here once it has them, or its end of stdout would keep ours from ever
    // seeing the end of the stream.
    HANDLE child_in = nullptr;
    HANDLE child_out = nullptr;
    HANDLE child_err = nullptr;
    const auto close_child_ends = [&] {
      for (HANDLE end : {child_in, child_out, child_err}) {
        if (end != nullptr) {
          CloseHandle(end);
        }
      }
    };
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (!CreatePipe(&child_in, &helper->input_, &inheritable, 0) ||
        !CreatePipe(&helper->output_, &child_out, &inheritable, 0) ||
        !CreatePipe(&helper->errors_, &child_err, &inheritable, 0)) {
      const std::string failure = system_error("CreatePipe");
      close_child_ends();
      return std::unexpected(failure);
    }
    for (HANDLE ours : {helper->input_, helper->output_, helper->errors_}) {
      SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
    }

    // Only these three handles go to the child, even when another thread of
    // this process starts a child with inheritable handles of its own.
    std::array<HANDLE, 3> inherited{child_in, child_out, child_err};
    SIZE_T attributes_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attributes_size);
    std::vector<std::byte> attributes_storage(attributes_size);
    const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes_storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &attributes_size) ||
        !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                   sizeof(inherited), nullptr, nullptr)) {
      close_child_ends();
      return std::unexpected(system_error("UpdateProcThreadAttribute"));
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = child_in;
    startup.StartupInfo.hStdOutput = child_out;
    startup.StartupInfo.hStdError = child_err;
    startup.lpAttributeList = attributes;
    std::wstring command_line;
    for (const std::string& argument : command) {
      append_argument(command_line, widen(argument));
    }
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                                       EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                                       &process);
    const std::string failure = started ? std::string() : system_error("CreateProcessW");
    DeleteProcThreadAttributeList(attributes);
    close_child_ends();
    if (!started) {
      return std::unexpected(failure);
    }
    CloseHandle(process.hThread);
    helper->process_ = process.hProcess;
    return helper;
  }

  ~Helper() {
    if (process_ != nullptr && !waited_) {
      kill();
      static_cast<void>(wait());
    }
    for (HANDLE handle : {input_, output_, errors_, process_}) {
      if (handle != nullptr) {
        CloseHandle(handle);
      }
    }
  }

  std::size_t read_records(std::span<std::byte> buffer) { return read(output_, buffer); }
  std::size_t read_diagnostics(std::span<std::byte> buffer) { return read(errors_, buffer); }

  // One command line; false when the helper no longer reads them.
  bool send(std::string_view command) {
    std::string line(command);
    line += '\n';
    DWORD written = 0;
    for (std::size_t at = 0; at < line.size(); at += written) {
      if (!WriteFile(input_, line.data() + at, static_cast<DWORD>(line.size() - at), &written, nullptr)) {
        return false;
      }
    }
    return true;
  }

  // The exit status, once the process has ended.
  int wait() {
    WaitForSingleObject(process_, INFINITE);
    waited_ = true;
    DWORD status = 1;
    GetExitCodeProcess(process_, &status);
    return static_cast<int>(status);
  }

  // Only for a helper that stopped answering: it loses its last records.
  void kill() { TerminateProcess(process_, 1); }

 private:
  Helper() = default;

  static std::string system_error(const char* call) {
    return std::string(call) + " failed with error " + std::to_string(GetLastError());
  }

  static std::size_t read(HANDLE pipe, std::span<std::byte> buffer) {
    DWORD got = 0;
    // ERROR_BROKEN_PIPE: the helper closed its end (it ended).
    if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      return 0;
    }
    return got;
  }

  HANDLE input_ = nullptr;
  HANDLE output_ = nullptr;
  HANDLE errors_ = nullptr;
  HANDLE process_ = nullptr;
  bool waited_ = false;
};

#else  // POSIX

class Helper {
 public:
  static std::expected<std::unique_ptr<Helper>, std::string> start(const std::vector<std::string>& command) {
    std::unique_ptr<Helper> helper(new Helper);
    // Every end is close-on-exec: the child gets its three through dup2
    // (which clears the flag on the copy), nothing else leaks into it, and
    // once it has them ours are the only ones left open here.
    std::array<int, 2> in{-1, -1};
    std::array<int, 2> out{-1, -1};
    std::array<int, 2> err{-1, -1};
    const auto close_child_ends = [&] {
      for (int end : {in[0], out[1], err[1]}) {
        if (end >= 0) {
          ::close(end);
        }
      }
    };
    for (std::array<int, 2>* pipe_ends : {&in, &out, &err}) {
      if (::pipe(pipe_ends->data()) != 0) {
        const std::string failure = system_error("pipe");
        close_child_ends();
        return std::unexpected(failure);
      }
      for (int end : *pipe_ends) {
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
      }
    }
    helper->input_ = in[1];
    helper->output_ = out[0];
    helper->errors_ = err[0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : command) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&helper->pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close_child_ends();
    if (spawned != 0) {
      helper->pid_ = -1;
      return std::unexpected(std::string("cannot start ") + command[0] + ": " + std::strerror(spawned));
    }
    return helper;
  }

  ~Helper() {
    if (pid_ > 0 && !waited_) {
      kill();
      static_cast<void>(wait());
    }
    for (int fd : {input_, output_, errors_}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }

  std::size_t read_records(std::span<std::byte> buffer) { return read(output_, buffer); }
  std::size_t read_diagnostics(std::span<std::byte> buffer) { return read(errors_, buffer); }

  // One command line; false when the helper no longer reads them (EPIPE:
  // main ignores SIGPIPE, so a gone helper cannot end the parent).
  bool send(std::string_view command) {
    std::string line(command);
    line += '\n';
    for (std::size_t at = 0; at < line.size();) {
      const ssize_t written = ::write(input_, line.data() + at, line.size() - at);
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written <= 0) {
        return false;
      }
      at += static_cast<std::size_t>(written);
    }
    return true;
  }

  // The exit status, once the process has ended; 128 + the signal's number
  // for a process a signal ended, as shells report it.
  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Only for a helper that stopped answering: it loses its last records.
  void kill() { ::kill(pid_, SIGKILL); }

 private:
  Helper() = default;

  static std::string system_error(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

  static std::size_t read(int fd, std::span<std::byte> buffer) {
    for (;;) {
      const ssize_t got = ::read(fd, buffer.data(), buffer.size());
      if (got >= 0) {
        return static_cast<std::size_t>(got);
      }
      if (errno != EINTR) {
        return 0;
      }
    }
  }

  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
  pid_t pid_ = -1;
  bool waited_ = false;
};

#endif

// ---- standard error ----

// Reads the helper's diagnostics on a thread of its own until the end of
// the stream, so a full pipe never holds the helper up, and keeps every
// line. The caller waits for the line a command should bring.
class Diagnostics {
 public:
  explicit Diagnostics(Helper& helper) : thread_([this, &helper] { read_all(helper); }) {}
  // Joins the reader: the helper must have ended (or been killed) first.
  ~Diagnostics() { thread_.join(); }
  Diagnostics(const Diagnostics&) = delete;
  Diagnostics& operator=(const Diagnostics&) = delete;

  // The next line, after those an earlier call returned, that starts with
  // `prefix`; nothing when the stream ends or the time-out passes first.
  std::optional<std::string> wait_for(std::string_view prefix, Clock::duration timeout) {
    std::unique_lock lock(mutex_);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      for (; next_ < lines_.size(); ++next_) {
        if (lines_[next_].starts_with(prefix)) {
          return lines_[next_++];
        }
      }
      if (ended_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
        return std::nullopt;
      }
    }
  }

  // Every line, once standard error has ended.
  std::vector<std::string> all_lines() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ended_; });
    return lines_;
  }

 private:
  void read_all(Helper& helper) {
    std::array<std::byte, 4096> chunk;
    std::string partial;
    for (std::size_t got; (got = helper.read_diagnostics(chunk)) != 0;) {
      partial.append(reinterpret_cast<const char*>(chunk.data()), got);
      std::size_t end = 0;
      std::vector<std::string> complete;
      while ((end = partial.find('\n')) != std::string::npos) {
        complete.push_back(partial.substr(0, end));
        partial.erase(0, end + 1);
      }
      if (!complete.empty()) {
        std::lock_guard lock(mutex_);
        lines_.insert(lines_.end(), complete.begin(), complete.end());
        changed_.notify_all();
      }
    }
    std::lock_guard lock(mutex_);
    if (!partial.empty()) {
      lines_.push_back(partial);  // a last line without its line feed
    }
    ended_ = true;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;  // guarded by mutex_
  bool ended_ = false;              // guarded by mutex_
  std::size_t next_ = 0;            // guarded by mutex_
  std::thread thread_;              // last: starts once the rest exists
};

// ---- standard output ----

// The records of standard output, one at a time, read incrementally: a read
// returns whatever the pipe holds, which may be part of a record or several.
class Records {
 public:
  explicit Records(Helper& helper) : helper_(helper), chunk_(1 << 16) {}

  // The next record; nothing at the end of standard output; an error for a
  // stream that is not well formed (including a record cut off at its end).
  std::expected<std::optional<FrameRecord>, std::string> next() {
    for (;;) {
      auto record = reader_.next();
      if (!record) {
        return std::unexpected(describe(record.error()));
      }
      if (*record) {
        return std::move(*record);
      }
      if (ended_) {
        if (auto finished = reader_.finish(); !finished) {
          return std::unexpected(describe(finished.error()));
        }
        return std::nullopt;
      }
      const std::size_t got = helper_.read_records(chunk_);
      if (got == 0) {
        ended_ = true;
      } else {
        reader_.feed(std::span(chunk_).first(got));
      }
    }
  }

 private:
  static std::string describe(const quorvex::sender::FrameRecordError& error) {
    return error.message + " at stream offset " + std::to_string(error.offset);
  }

  Helper& helper_;
  FrameRecordReader reader_;
  std::vector<std::byte> chunk_;
  bool ended_ = false;
};

// ---- the session ----

struct Check {
  std::string name;
  bool ok = false;
  std::string detail;
};

std::uint64_t wall_clock_ns() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

// The value of `key=` in a "topic key=value ..." line; empty when absent.
std::string field(std::string_view line, std::string_view key) {
  const std::string wanted = " " + std::string(key) + "=";
  const std::size_t at = line.find(wanted);
  if (at == std::string_view::npos) {
    return {};
  }
  const std::string_view rest = line.substr(at + wanted.size());
  return std::string(rest.substr(0, rest.find(' ')));
}

class Session {
 public:
  Session(Helper& helper, Diagnostics& diagnostics) : helper_(helper), diagnostics_(diagnostics), stdout_(helper) {}

  // Drives the helper through its commands to its end; an error when it
  // stops answering. The records read are kept for the checks.
  std::expected<void, std::string> run() {
    // The stream opens with a keyframe that starts a decodable stream.
    if (auto r = read_records(15); !r) {
      return r;
    }
    check("first record is a keyframe", records_.front().keyframe);
    const auto start = diagnostics_.wait_for("session_start ", answer_timeout);
    check("session_start tells the settings", start.has_value(), start.value_or("no line"));

    // KEYFRAME: the helper confirms, and a keyframe follows within a few records.
    if (auto r = command("KEYFRAME", "encoder_control request=keyframe accepted=true"); !r) {
      return r;
    }
    std::size_t later = 0;
    bool keyframe = false;
    while (!keyframe && later < 5) {
      if (auto r = read_records(1); !r) {
        return r;
      }
      ++later;
      keyframe = records_.back().keyframe;
    }
    check("KEYFRAME brings a keyframe", keyframe, std::to_string(later) + " record(s) later");

    // PAUSE and RESUME: no frame is taken in between, and the first one after
    // is a keyframe. The records of the pause wait in the pipe meanwhile.
    if (auto r = command("PAUSE", "capture_window paused=true"); !r) {
      return r;
    }
    const std::uint64_t paused_at_ns = wall_clock_ns();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the pause itself
    const std::uint64_t resumed_at_ns = wall_clock_ns();
    if (auto r = command("RESUME", "capture_window paused=false"); !r) {
      return r;
    }
    do {
      if (auto r = read_records(1); !r) {
        return r;
      }
    } while (records_.back().timestamp_ns <= resumed_at_ns);
    // Frames taken just before the pause may still come out of the encoder.
    constexpr std::uint64_t in_flight_ns = 100'000'000;
    std::size_t inside = 0;
    for (const FrameRecord& record : records_) {
      inside += record.timestamp_ns > paused_at_ns + in_flight_ns && record.timestamp_ns < resumed_at_ns;
    }
    check("no frame taken while paused", inside == 0, std::to_string(inside) + " inside the pause");
    check("first frame after RESUME is a keyframe", records_.back().keyframe);
    if (auto r = read_records(10); !r) {
      return r;
    }

    // STOP: the session drains, writes its last records, its summary and its
    // end line, and exits with status 0.
    if (!helper_.send("STOP")) {
      return std::unexpected(std::string("the helper no longer reads its commands"));
    }
    for (;;) {
      auto record = stdout_.next();
      if (!record) {
        check("stream well formed", false, record.error());
        break;
      }
      if (!*record) {
        check("stream well formed", true);
        break;
      }
      records_.push_back(std::move(**record));
    }
    return {};
  }

  // After the helper ended: its status and its lines against the records.
  void check_end(int status) {
    const std::vector<std::string> lines = diagnostics_.all_lines();
    check("exit status 0", status == 0, "status " + std::to_string(status));
    std::string summary;
    std::size_t starts = 0;
    for (const std::string& line : lines) {
      if (line.starts_with("native_encoder_summary ")) {
        summary = line;
      }
      starts += line.starts_with("session_start ");
    }
    check("one session_start line", starts == 1, std::to_string(starts));
    const std::string encoded = field(summary, "encoded_frames");
    check("summary counts every record", encoded == std::to_string(records_.size()),
          "summary " + (encoded.empty() ? std::string("missing") : encoded) + ", read " +
              std::to_string(records_.size()));
    check("last line says why", !lines.empty() && lines.back() == "session_end reason=stop",
          lines.empty() ? std::string("no lines") : lines.back());
    bool increasing = true;
    for (std::size_t i = 1; i < records_.size(); ++i) {
      increasing = increasing && records_[i - 1].timestamp_ns < records_[i].timestamp_ns;
    }
    check("timestamps increase", increasing);
  }

  // Prints the report; true when every check held.
  bool report() const {
    std::size_t keyframes = 0;
    std::uint64_t payload_bytes = 0;
    for (const FrameRecord& record : records_) {
      keyframes += record.keyframe;
      payload_bytes += record.payload.size();
    }
    const double span_s =
        records_.size() > 1 ? static_cast<double>(records_.back().timestamp_ns - records_.front().timestamp_ns) / 1e9
                            : 0.0;
    std::printf("parent: %zu records, %zu keyframes, %llu payload bytes over %.2f s\n", records_.size(), keyframes,
                static_cast<unsigned long long>(payload_bytes), span_s);
    bool all = true;
    for (const Check& c : checks_) {
      std::printf("  %s %s%s%s\n", c.ok ? "ok  " : "FAIL", c.name.c_str(), c.detail.empty() ? "" : ": ",
                  c.detail.c_str());
      all = all && c.ok;
    }
    return all;
  }

 private:
  void check(std::string name, bool ok, std::string detail = {}) {
    checks_.push_back({std::move(name), ok, std::move(detail)});
  }

  // Reads `count` more records; the end of the stream here is an error.
  std::expected<void, std::string> read_records(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      auto record = stdout_.next();
      if (!record) {
        return std::unexpected(record.error());
      }
      if (!*record) {
        return std::unexpected(std::string("standard output ended"));
      }
      records_.push_back(std::move(**record));
    }
    return {};
  }

  // Sends a command and waits for the line that confirms it.
  std::expected<void, std::string> command(std::string_view line, std::string_view confirmation) {
    if (!helper_.send(line)) {
      return std::unexpected(std::string("the helper no longer reads its commands"));
    }
    if (!diagnostics_.wait_for(confirmation, answer_timeout)) {
      return std::unexpected("no \"" + std::string(confirmation) + "\" after " + std::string(line));
    }
    return {};
  }

  Helper& helper_;
  Diagnostics& diagnostics_;
  Records stdout_;
  std::vector<FrameRecord> records_;
  std::vector<Check> checks_;
};

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  // A helper that has gone makes a write to its standard input fail with
  // EPIPE instead of ending this process.
  ::signal(SIGPIPE, SIG_IGN);
#endif
  std::vector<std::string> command{"quorvex-wgc-encoder"};
  std::vector<std::string> options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--encoder" && i + 1 < argc) {
      command[0] = argv[++i];
    } else {
      options.emplace_back(argument);
    }
  }
  if (options.empty()) {
    options = {"--width", "640", "--height", "360", "--fps", "30"};
  }
  command.insert(command.end(), options.begin(), options.end());
  // Ended by STOP (and by this process's end, should it die first).
  command.emplace_back("--until-stopped");

  auto helper = Helper::start(command);
  if (!helper) {
    std::fprintf(stderr, "parent: %s\n", helper.error().c_str());
    return 1;
  }
  Diagnostics diagnostics(**helper);
  Session session(**helper, diagnostics);
  if (auto ran = session.run(); !ran) {
    (*helper)->kill();
    static_cast<void>((*helper)->wait());
    std::fprintf(stderr, "parent: the session broke off (%s); the helper's standard error ends with:\n",
                 ran.error().c_str());
    const std::vector<std::string> lines = diagnostics.all_lines();
    for (std::size_t i = lines.size() > 10 ? lines.size() - 10 : 0; i < lines.size(); ++i) {
      std::fprintf(stderr, "%s\n", lines[i].c_str());
    }
    return 1;
  }
  session.check_end((*helper)->wait());
  return session.report() ? 0 : 1;
}
