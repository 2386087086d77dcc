#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "qvrx/system.h"

namespace quorvex::tools {
namespace {

std::string reason(int error) { return std::strerror(error); }

}  // namespace

std::expected<ByteFile, std::string> ByteFile::open_for_reading(const std::string& path) {
  if (path == standard_stream_path) {
    return ByteFile(STDIN_FILENO, false);
  }
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    return std::unexpected(reason(errno));
  }
  return ByteFile(descriptor, true);
}

std::expected<ByteFile, std::string> ByteFile::create(const std::string& path) {
  if (path == standard_stream_path) {
    return ByteFile(STDOUT_FILENO, false);
  }
  // 0666 less the umask, as for any file a shell redirection creates.
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (descriptor < 0) {
    return std::unexpected(reason(errno));
  }
  return ByteFile(descriptor, true);
}

std::expected<std::size_t, std::string> ByteFile::read_some(std::span<std::byte> buffer) {
  for (;;) {
    const ssize_t got = ::read(descriptor_, buffer.data(), buffer.size());
    if (got >= 0) {
      return static_cast<std::size_t>(got);
    }
    if (errno != EINTR) {
      return std::unexpected(reason(errno));
    }
  }
}

std::expected<void, std::string> ByteFile::write_all(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(descriptor_, bytes.data(), bytes.size());
    if (wrote < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::unexpected(reason(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(wrote));
  }
  return {};
}

std::expected<void, std::string> ByteFile::close() {
  const int descriptor = std::exchange(descriptor_, -1);
  if (descriptor < 0 || !std::exchange(owned_, false)) {
    return {};
  }
  // Linux releases the descriptor even when close fails, so no retry.
  if (::close(descriptor) != 0) {
    return std::unexpected(reason(errno));
  }
  return {};
}

void use_binary_standard_streams() {}

std::vector<std::string> python_interpreters() { return {"python3", "/usr/bin/python3"}; }

std::filesystem::path executable_directory() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : executable.parent_path();
}

}  // namespace quorvex::tools
