// What qvrx needs from the operating system beyond standard C++: files and
// the standard streams as raw bytes (a live pipe is read as it arrives, not
// in whole buffers), the system's reason when one cannot be opened, and where
// the running executable lives. The build picks system_posix.cpp or
// system_windows.cpp.
//
// Thread contract: a ByteFile has one owner; the free functions may be called
// from any thread.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quorvex::tools {

// The path that names standard input (as a stream to read) or standard
// output (as a file to write).
inline constexpr std::string_view standard_stream_path = "-";

class ByteFile {
 public:
  // Errors are the system's reason, e.g. "No such file or directory".
  [[nodiscard]] static std::expected<ByteFile, std::string> open_for_reading(const std::string& path);
  // Creates or truncates the file.
  [[nodiscard]] static std::expected<ByteFile, std::string> create(const std::string& path);

  ByteFile(ByteFile&& other) noexcept
      : descriptor_(std::exchange(other.descriptor_, -1)), owned_(std::exchange(other.owned_, false)) {}
  ByteFile& operator=(ByteFile&& other) noexcept {
    if (this != &other) {
      (void)close();
      descriptor_ = std::exchange(other.descriptor_, -1);
      owned_ = std::exchange(other.owned_, false);
    }
    return *this;
  }
  ByteFile(const ByteFile&) = delete;
  ByteFile& operator=(const ByteFile&) = delete;
  ~ByteFile() { (void)close(); }

  // Whatever is there, up to the buffer's size, waiting only while nothing
  // is; 0 at the end of the file.
  [[nodiscard]] std::expected<std::size_t, std::string> read_some(std::span<std::byte> buffer);
  [[nodiscard]] std::expected<void, std::string> write_all(std::span<const std::byte> bytes);
  // Closes a file this object opened (the standard streams stay open); a
  // failure here can be the first sign of a full disk.
  [[nodiscard]] std::expected<void, std::string> close();

 private:
  ByteFile(int descriptor, bool owned) : descriptor_(descriptor), owned_(owned) {}

  int descriptor_ = -1;
  bool owned_ = false;
};

// Standard input and output carry bytes unchanged (Windows would otherwise
// translate line ends and stop at a 0x1A byte). Call before any I/O.
void use_binary_standard_streams();

// The Python interpreters to try, in order: the one the PATH names first,
// then the system's own (on Debian, the one python3-matplotlib installs
// into, which a pyenv or venv earlier on the PATH does not see).
[[nodiscard]] std::vector<std::string> python_interpreters();

// The folder of the running executable, empty when the system cannot say.
[[nodiscard]] std::filesystem::path executable_directory();

}  // namespace quorvex::tools
