#include <windows.h>

#include <string>

#include "app/worker_thread.h"

namespace quorvex::app {

void set_current_thread_name(const std::string& name) {
  // SetThreadDescription exists from Windows 10 1607 on (and not in every
  // Wine); look it up rather than fail to start on older systems.
  using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) {
    return;
  }
  // Through void(*)(): the one function-pointer cast compilers accept
  // between unrelated signatures without a warning.
  const auto set_description = reinterpret_cast<SetThreadDescriptionFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
  if (set_description == nullptr) {
    return;
  }
  // Thread names are ASCII.
  const std::wstring wide(name.begin(), name.end());
  static_cast<void>(set_description(GetCurrentThread(), wide.c_str()));
}

}  // namespace quorvex::app
