// Whether the tests run under Wine rather than Windows. Tests assert what
// Wine really answers where it lacks a service, and what Windows must answer
// otherwise.
#pragma once

#include <windows.h>

#include <string>

namespace quorvex::platform::windows::testing {

inline bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// What a failed Direct3D 11 device creation means here. Wine makes the device
// with wined3d over OpenGL: it needs DISPLAY set to an X server with GLX (the
// test script's Xvfb) and Mesa's GL driver, which scripts/bootstrap installs.
// Neither is something Wine lacks, so the tests fail rather than skip.
inline std::string missing_device_hint() {
  if (!under_wine()) {
    return "";
  }
  return "; under Wine this needs DISPLAY set to an X server with GLX (Xvfb, as scripts/test runs it) and "
         "Mesa's OpenGL driver (libgl1-mesa-dri, libglx-mesa0)";
}

}  // namespace quorvex::platform::windows::testing
