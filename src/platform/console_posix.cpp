#include <unistd.h>

#include <cerrno>

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

}  // namespace nuvo
