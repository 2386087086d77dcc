// Whether the tests run under Wine rather than Windows. Tests assert what
// Wine really answers where it lacks a service, and what Windows must answer
// otherwise.
#pragma once

#include <windows.h>

namespace quorvex::platform::windows::testing {

inline bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace quorvex::platform::windows::testing
