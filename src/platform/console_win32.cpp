// Standard streams of a GUI-subsystem program: we never attach or allocate a
// console, we only use the handles the parent gave us.
#include "common/utf.h"
#include "platform/console.h"
#include "platform/win32_support.h"

namespace nuvo {

void write_std(StdStream stream, std::string_view utf8) {
  HANDLE h = GetStdHandle(stream == StdStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;

  DWORD mode = 0;
  if (GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode)) {
    // A real console wants UTF-16, whatever its code page.
    const auto wide = utf8_to_utf16(utf8);
    if (!wide) return;
    const char16_t* p = wide->data();
    std::size_t left = wide->size();
    while (left > 0) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 8192));
      if (!WriteConsoleW(h, p, chunk, &written, nullptr) || written == 0) return;
      p += written;
      left -= written;
    }
    return;
  }

  while (!utf8.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(utf8.size(), 1u << 20));
    if (!WriteFile(h, utf8.data(), chunk, &written, nullptr) || written == 0) return;
    utf8.remove_prefix(written);
  }
}

}  // namespace nuvo
