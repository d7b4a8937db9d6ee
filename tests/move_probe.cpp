// Renames a file or folder as another program would, for the end-to-end test
// of what the cache's held directories refuse.
//
//   move_probe <from> <to>
//
// Prints "moved", or "refused <Windows error number>".
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/utf.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: move_probe <from> <to>\n", stderr);
    return 2;
  }
  const auto from = nuvo::utf8_to_utf16(argv[1]);
  const auto to = nuvo::utf8_to_utf16(argv[2]);
  if (!from || !to) return 2;
  const std::wstring wide_from(from->begin(), from->end());
  const std::wstring wide_to(to->begin(), to->end());
  if (MoveFileExW(wide_from.c_str(), wide_to.c_str(), 0)) {
    std::puts("moved");
  } else {
    std::printf("refused %lu\n", GetLastError());
  }
  return 0;
}
