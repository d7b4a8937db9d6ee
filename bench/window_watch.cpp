// Times a window program from its start to its first painted frame, as the
// screen shows it: starts the program, waits for a visible window of the
// given class whose client pixel at (5, 5) has the window's background
// colour (23, 27, 33), prints the milliseconds and the program's private
// memory once it is idle, then closes it.
//   window_watch <class> <program> [arguments]
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  std::wstring command = L"\"" + std::wstring(argv[2]) + L"\"";
  for (int i = 3; i < argc; ++i) command += L" \"" + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  const auto start = std::chrono::steady_clock::now();
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return 3;
  HWND window = nullptr;
  for (;;) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(30)) return 4;
    if (window == nullptr) {
      window = FindWindowW(argv[1], nullptr);
      if (window != nullptr && !IsWindowVisible(window)) window = nullptr;
    }
    if (window != nullptr) {
      POINT at{5, 5};
      ClientToScreen(window, &at);
      const HDC screen = GetDC(nullptr);
      const COLORREF pixel = GetPixel(screen, at.x, at.y);
      ReleaseDC(nullptr, screen);
      if (pixel == RGB(23, 27, 33)) break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const auto painted = std::chrono::steady_clock::now() - start;
  std::this_thread::sleep_for(std::chrono::seconds(1));  // idle
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof(memory);
  GetProcessMemoryInfo(process.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                       sizeof(memory));
  std::printf("%.1f %llu\n",
              std::chrono::duration<double, std::milli>(painted).count(),
              static_cast<unsigned long long>(memory.PrivateUsage / 1024));
  PostMessageW(window, WM_CLOSE, 0, 0);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
