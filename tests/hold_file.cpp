// Holds a file open the way a virus scanner does right after it was written:
// reading, letting others read and write, but not delete or rename it.
//
//   hold_file <path> <milliseconds>
//
// Prints "held" once the file is open, then lets go after the given time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/utf.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: hold_file <path> <milliseconds>\n", stderr);
    return 2;
  }
  const auto path = nuvo::utf8_to_utf16(argv[1]);
  if (!path) return 2;
  const std::wstring wide(path->begin(), path->end());
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "open failed: %lu\n", GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  CloseHandle(h);
  return 0;
}
