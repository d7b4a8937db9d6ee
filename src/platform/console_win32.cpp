// Standard streams of a GUI-subsystem program: we never attach or allocate a
// console, we only use the handles the parent gave us.
#include <optional>

#include "common/utf.h"
#include "common/wipe.h"
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

namespace {

// The console's input mode from before the prompt, for the control handler:
// Ctrl+C, Ctrl+Break and a closed console put it back before the process ends.
HANDLE g_console_in = nullptr;
DWORD g_saved_mode = 0;

BOOL WINAPI restore_console_mode(DWORD) {
  SetConsoleMode(g_console_in, g_saved_mode);
  return FALSE;  // the next handler, by default the one that ends the process
}

// Reads the console up to the end of its line: what was typed past the limit
// stays out of the next reader's way.
void drain_console_line(HANDLE in) {
  for (;;) {
    wchar_t c = 0;
    DWORD got = 0;
    if (!ReadConsoleW(in, &c, 1, &got, nullptr) || got == 0 || c == L'\n') return;
  }
}

}  // namespace

Result<std::optional<std::string>, OsError> read_secret_line(std::string_view prompt,
                                                             std::size_t limit) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return Failure{last_os_error()};

  DWORD mode = 0;
  if (GetFileType(in) == FILE_TYPE_CHAR && GetConsoleMode(in, &mode)) {
    g_console_in = in;
    g_saved_mode = mode;
    if (!SetConsoleCtrlHandler(restore_console_mode, TRUE)) return Failure{last_os_error()};
    // Echo goes off before the prompt shows, so nothing typed after it is seen.
    if (!SetConsoleMode(in, (mode & ~DWORD{ENABLE_ECHO_INPUT}) | ENABLE_LINE_INPUT |
                                ENABLE_PROCESSED_INPUT)) {
      const OsError error = last_os_error();
      SetConsoleCtrlHandler(restore_console_mode, FALSE);
      return Failure{error};
    }
    write_std(StdStream::Err, prompt);
    // Room for the longest line up front, in both encodings: the secret is
    // never copied to a larger buffer, and every buffer is wiped.
    std::u16string wide;
    wide.reserve(limit + 1);
    std::optional<OsError> error;
    bool ended = false;  // by its line break
    for (;;) {
      wchar_t c = 0;
      DWORD got = 0;
      if (!ReadConsoleW(in, &c, 1, &got, nullptr)) error = last_os_error();
      if (error || got == 0) break;
      if (c == L'\n') {
        ended = true;
        break;
      }
      if (wide.size() == limit) {
        error = os_error_from_code(ERROR_BUFFER_OVERFLOW);
        drain_console_line(in);
        break;
      }
      wide += static_cast<char16_t>(c);
    }
    // Lines pasted after this one are not left for the shell.
    FlushConsoleInputBuffer(in);
    SetConsoleMode(in, mode);
    SetConsoleCtrlHandler(restore_console_mode, FALSE);
    write_std(StdStream::Err, "\n");
    if (!wide.empty() && wide.back() == u'\r') wide.pop_back();
    std::string line;
    line.reserve(3 * limit + 1);
    if (!error && ended && !append_utf16_as_utf8(line, wide))
      error = os_error_from_code(ERROR_NO_UNICODE_TRANSLATION);
    wipe(wide);
    if (error || !ended) {
      wipe(line);
      if (error) return Failure{*error};
      return std::optional<std::string>{};
    }
    return std::optional<std::string>{std::move(line)};
  }

  std::string line;
  line.reserve(limit + 1);
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(in, &c, 1, &got, nullptr) && GetLastError() != ERROR_BROKEN_PIPE) {
      const OsError error = last_os_error();
      wipe(line);
      return Failure{error};
    }
    if (got == 0) {  // the end of the input, before the line's
      wipe(line);
      return std::optional<std::string>{};
    }
    if (c == '\n') break;
    if (line.size() == limit) {
      wipe(line);
      return Failure{os_error_from_code(ERROR_BUFFER_OVERFLOW)};
    }
    line += c;
  }
  if (line.ends_with('\r')) line.pop_back();
  return std::optional<std::string>{std::move(line)};
}

}  // namespace nuvo
