#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "qvrx/system.h"

namespace quorvex::tools {
namespace {

constexpr int standard_input = 0;
constexpr int standard_output = 1;

std::string reason(int error) {
  char text[256] = {};
  if (strerror_s(text, sizeof text, error) != 0) {
    return "error " + std::to_string(error);
  }
  return text;
}

}  // namespace

std::expected<ByteFile, std::string> ByteFile::open_for_reading(const std::string& path) {
  if (path == standard_stream_path) {
    return ByteFile(standard_input, false);
  }
  int descriptor = -1;
  if (const errno_t error = _sopen_s(&descriptor, path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
      error != 0) {
    return std::unexpected(reason(error));
  }
  return ByteFile(descriptor, true);
}

std::expected<ByteFile, std::string> ByteFile::create(const std::string& path) {
  if (path == standard_stream_path) {
    return ByteFile(standard_output, false);
  }
  int descriptor = -1;
  if (const errno_t error = _sopen_s(&descriptor, path.c_str(),
                                     _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                                     _S_IREAD | _S_IWRITE);
      error != 0) {
    return std::unexpected(reason(error));
  }
  return ByteFile(descriptor, true);
}

std::expected<std::size_t, std::string> ByteFile::read_some(std::span<std::byte> buffer) {
  const auto count = static_cast<unsigned>(std::min<std::size_t>(buffer.size(), INT_MAX));
  const int got = _read(descriptor_, buffer.data(), count);
  if (got < 0) {
    return std::unexpected(reason(errno));
  }
  return static_cast<std::size_t>(got);
}

std::expected<void, std::string> ByteFile::write_all(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const auto count = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), INT_MAX));
    const int wrote = _write(descriptor_, bytes.data(), count);
    if (wrote < 0) {
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
  if (_close(descriptor) != 0) {
    return std::unexpected(reason(errno));
  }
  return {};
}

void use_binary_standard_streams() {
  // _setmode fails only for a descriptor that is not open, and then there is
  // nothing to read or write through it anyway.
  (void)_setmode(standard_input, _O_BINARY);
  (void)_setmode(standard_output, _O_BINARY);
}

std::vector<std::string> python_interpreters() { return {"python3", "python"}; }

std::filesystem::path executable_directory() {
  // Long paths can exceed MAX_PATH: grow until the name fits.
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) {
      return {};
    }
    if (length < name.size()) {
      return std::filesystem::path(std::wstring(name.data(), length)).parent_path();
    }
    if (name.size() >= 32768) {
      return {};
    }
    name.resize(name.size() * 2);
  }
}

}  // namespace quorvex::tools
