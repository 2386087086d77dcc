// A second process for the window enumeration tests: it creates a visible
// titled top-level window, a hidden one and a tool window, prints their
// handles on one line ("visible=<n> hidden=<n> tool=<n>") and keeps them
// alive while pumping messages until the test process given by its id on
// the command line ends (or a minute has passed), so a crashed test never
// leaves it behind.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND create(const wchar_t* title, DWORD ex_style, bool visible) {
  HWND window = CreateWindowExW(ex_style, L"QuorvexTestHelper", title, WS_OVERLAPPEDWINDOW,
                                100, 100, 640, 480, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window != nullptr && visible) {
    ShowWindow(window, SW_SHOWNOACTIVATE);
    UpdateWindow(window);
  }
  return window;
}

}  // namespace

int main(int argc, char** argv) {
  const DWORD parent_id = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 0;
  HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, parent_id);
  if (parent == nullptr) {
    return 4;
  }
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"QuorvexTestHelper";
  if (RegisterClassW(&window_class) == 0) {
    return 2;
  }
  HWND visible = create(L"Quorvex helper visible", 0, true);
  HWND hidden = create(L"Quorvex helper hidden", 0, false);
  HWND tool = create(L"Quorvex helper tool", WS_EX_TOOLWINDOW, true);
  if (visible == nullptr || hidden == nullptr || tool == nullptr) {
    return 3;
  }
  std::printf("visible=%llu hidden=%llu tool=%llu\n",
              static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(visible)),
              static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hidden)),
              static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(tool)));
  std::fflush(stdout);

  const ULONGLONG deadline = GetTickCount64() + 60000;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      break;
    }
    const DWORD woken = MsgWaitForMultipleObjects(1, &parent, FALSE, static_cast<DWORD>(deadline - now),
                                                  QS_ALLINPUT);
    if (woken != WAIT_OBJECT_0 + 1) {
      break;
    }
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  CloseHandle(parent);
  return 0;
}
