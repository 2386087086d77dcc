#include "platform/windows/system_error.h"

#include <string_view>

#include "platform/windows/utf16.h"

namespace quorvex::platform::windows {

namespace {

// FormatMessageW's text from the given source, without its line break.
std::string format_message(DWORD source_flag, const void* source, std::uint32_t code) {
  wchar_t* buffer = nullptr;
  // FORMAT_MESSAGE_ALLOCATE_BUFFER passes the address of the pointer in
  // place of the buffer.
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source_flag, source,
                     code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) {
    return {};
  }
  std::wstring_view message(buffer, length);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
    message.remove_suffix(1);
  }
  std::string text = utf16_to_utf8(from_wide(message));
  LocalFree(buffer);
  return text;
}

constexpr std::uint32_t facility_media_foundation = 0xD;

// Media Foundation keeps the messages of its own codes in mferror.dll rather
// than in the system table; loaded once as data, from the system directory.
HMODULE media_foundation_messages() {
  static const HMODULE module = LoadLibraryExW(
      L"mferror.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module;
}

}  // namespace

std::string describe_system_status(std::uint32_t code) {
  std::string text = format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
  if (text.empty() && ((code >> 16) & 0x1FFF) == facility_media_foundation) {
    if (HMODULE module = media_foundation_messages()) {
      text = format_message(FORMAT_MESSAGE_FROM_HMODULE, module, code);
    }
  }
  return text;
}

Error system_error(std::uint32_t code) { return Error(code, describe_system_status(code)); }

std::unexpected<Error> last_error_failure() {
  return std::unexpected(system_error(static_cast<std::uint32_t>(GetLastError())));
}

GUID to_native(const Guid& guid) {
  GUID native{};
  native.Data1 = guid.data1;
  native.Data2 = guid.data2;
  native.Data3 = guid.data3;
  for (std::size_t i = 0; i < guid.data4.size(); ++i) {
    native.Data4[i] = guid.data4[i];
  }
  return native;
}

Guid from_native(const GUID& native) {
  Guid guid;
  guid.data1 = static_cast<std::uint32_t>(native.Data1);
  guid.data2 = native.Data2;
  guid.data3 = native.Data3;
  for (std::size_t i = 0; i < guid.data4.size(); ++i) {
    guid.data4[i] = native.Data4[i];
  }
  return guid;
}

}  // namespace quorvex::platform::windows
