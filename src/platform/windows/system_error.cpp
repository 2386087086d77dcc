#include "platform/windows/system_error.h"

#include <string_view>

#include "platform/windows/utf16.h"

namespace quorvex::platform::windows {

std::string describe_system_status(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  // FORMAT_MESSAGE_ALLOCATE_BUFFER passes the address of the pointer in
  // place of the buffer.
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
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
