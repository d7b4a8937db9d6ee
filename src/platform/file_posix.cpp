// POSIX stand-in for the Windows file layer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file.h"

namespace nuvo {

bool FileHandleTraits::is_valid(Native h) { return h >= 0; }

void FileHandleTraits::close(Native h) {
  const int saved = errno;
  ::close(static_cast<int>(h));
  errno = saved;
}

OsError os_error_from_code(std::uint32_t code) {
  return OsError{code, std::strerror(static_cast<int>(code))};
}

OsError last_os_error() { return os_error_from_code(static_cast<std::uint32_t>(errno)); }

Result<ReadOnlyFile, OsError> ReadOnlyFile::open(std::string_view path) {
  const std::string p(path);
  // Non-blocking open so that a FIFO cannot hang us; only regular files pass.
  FileHandle h(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!h.valid()) return Failure{last_os_error()};
  struct stat st {};
  if (::fstat(static_cast<int>(h.get()), &st) != 0) return Failure{last_os_error()};
  if (!S_ISREG(st.st_mode)) return Failure{os_error_from_code(S_ISDIR(st.st_mode) ? EISDIR : EINVAL)};
  const int flags = ::fcntl(static_cast<int>(h.get()), F_GETFL);
  if (flags < 0 || ::fcntl(static_cast<int>(h.get()), F_SETFL, flags & ~O_NONBLOCK) != 0)
    return Failure{last_os_error()};
  return ReadOnlyFile(std::move(h));
}

Result<std::uint64_t, OsError> ReadOnlyFile::size() const {
  struct stat st {};
  if (::fstat(static_cast<int>(handle_.get()), &st) != 0) return Failure{last_os_error()};
  return static_cast<std::uint64_t>(st.st_size);
}

Result<std::size_t, OsError> ReadOnlyFile::read(std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_.get()), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return Failure{last_os_error()};
  }
}

Result<PathInfo, OsError> path_info(std::string_view path) {
  struct stat st {};
  if (::stat(std::string(path).c_str(), &st) != 0) return Failure{last_os_error()};
  PathInfo info;
  info.is_directory = S_ISDIR(st.st_mode);
  info.size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  return info;
}

}  // namespace nuvo
