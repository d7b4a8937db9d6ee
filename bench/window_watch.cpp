// Times a window program from its start to its first painted frame, as the
// screen shows it: starts the program, waits for a visible window of the
// given class whose client pixel at (5, 5) has the window's background
// colour (23, 27, 33), prints the milliseconds and the program's private
// memory once it is idle, then closes it.
//   window_watch <class> <program> [arguments]
// Or times how fast a running window answers while its progress bar moves:
// up to <count> WM_NULL round trips to the window of that class, one every
// <every> ms, each printed in milliseconds on a line of its own (an
// unanswered one as its 5 s limit). It stops once the bar has reached its
// end, without the round trips since the last reading that found it short of
// there, and fails when the bar was at its end or had not moved at the start.
//   window_watch probe <class> <count> <every>
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr UINT kProbeLimitMs = 5000;
constexpr long kProbesPerReading = 20;

// Whether the bar is short of its end; false for a bar that does not answer.
bool bar_short_of_end(HWND bar, bool& short_of_end) {
  DWORD_PTR position = 0;
  DWORD_PTR high = 0;
  if (SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, kProbeLimitMs, &position) == 0 ||
      SendMessageTimeoutW(bar, PBM_GETRANGE, FALSE, 0, SMTO_NORMAL, kProbeLimitMs, &high) == 0)
    return false;
  short_of_end = static_cast<int>(position) < static_cast<int>(high);
  return true;
}

int probe(const wchar_t* window_class, long count, long every) {
  const HWND window = FindWindowW(window_class, nullptr);
  if (window == nullptr || count <= 0 || every < 0) return 4;
  const HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
  bool running = false;
  if (bar == nullptr || !bar_short_of_end(bar, running) || !running) return 5;
  std::vector<double> took;
  took.reserve(static_cast<std::size_t>(count));
  std::size_t kept = 0;  // the round trips up to the last reading short of the end
  for (long i = 0; i < count; ++i) {
    if (i % kProbesPerReading == 0) {
      if (!bar_short_of_end(bar, running)) return 5;
      if (!running) break;
      kept = took.size();
    }
    const auto start = std::chrono::steady_clock::now();
    DWORD_PTR result = 0;
    const bool answered =
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kProbeLimitMs, &result) != 0;
    const auto elapsed = std::chrono::steady_clock::now() - start;
    took.push_back(answered ? std::chrono::duration<double, std::milli>(elapsed).count()
                            : static_cast<double>(kProbeLimitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(every));
  }
  if (running && bar_short_of_end(bar, running) && running) kept = took.size();
  // Printed after the probes, so that writing to the pipe costs none of them.
  for (std::size_t i = 0; i < kept; ++i) std::printf("%.3f\n", took[i]);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wcscmp(argv[1], L"probe") == 0)
    return probe(argv[2], std::wcstol(argv[3], nullptr, 10), std::wcstol(argv[4], nullptr, 10));
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
