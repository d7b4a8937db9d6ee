#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "common/wipe.h"
#include "platform/console.h"

namespace nuvo {

void write_std(StdStream stream, std::string_view utf8) {
  const int fd = stream == StdStream::Out ? STDOUT_FILENO : STDERR_FILENO;
  while (!utf8.empty()) {
    const ssize_t n = ::write(fd, utf8.data(), utf8.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // closed or missing stream: the exit code tells the outcome
    utf8.remove_prefix(static_cast<std::size_t>(n));
  }
}

Result<std::string, OsError> read_secret_line(std::string_view prompt, std::size_t limit) {
  const bool terminal = ::isatty(STDIN_FILENO) != 0;
  termios saved{};
  if (terminal) {
    // Echo goes off before the prompt shows: whatever is typed once the
    // prompt is visible stays hidden and is read, never flushed away.
    if (::tcgetattr(STDIN_FILENO, &saved) != 0) return Failure{last_os_error()};
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) return Failure{last_os_error()};
    write_std(StdStream::Err, prompt);
  }
  // Room for the longest line up front: the secret is never copied to a
  // larger buffer, and the caller wipes this one.
  std::string line;
  line.reserve(limit + 1);
  std::optional<OsError> error;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = last_os_error();
    if (n <= 0 || c == '\n') break;
    if (line.size() == limit) {
      error = os_error_from_code(E2BIG);
      break;
    }
    line += c;
  }
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);  // keeps what was typed after the line
    write_std(StdStream::Err, "\n");
  }
  if (error) {
    wipe(line);
    return Failure{*error};
  }
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

}  // namespace nuvo
