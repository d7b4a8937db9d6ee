// POSIX stand-in for the Windows cache file layer. Every path is walked one
// component at a time from the top with openat and O_NOFOLLOW, so no symbolic
// link anywhere on it is followed and a component swapped behind our back
// cannot redirect the walk. The cache lock is an open-file-description lock:
// it belongs to the open file like LockFileEx's, so a second open of
// download.lock inside this process conflicts too (classic record locks would
// not). Since every path is walked from the top, the stand-in keeps even the
// folders above a trusted one (cache_walk) free of links.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/cache_fs.h"
#include "platform/file.h"
#include "platform/os_file.h"

namespace nuvo {
namespace {

// O_PATH needs only search permission on the directory, like Windows'
// FILE_READ_ATTRIBUTES.
#ifdef O_PATH
constexpr int kDirAccess = O_PATH;
#else
constexpr int kDirAccess = O_RDONLY;
#endif
constexpr int kDirFlags = kDirAccess | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kNewDirMode = 0700;
constexpr mode_t kNewFileMode = 0600;

int fd_of(const FileHandle& h) { return static_cast<int>(h.get()); }

Failure<SetupError> storage(std::string_view what, std::string_view path, int code) {
  return fail(SetupErrorKind::StorageFailed,
              std::string(what) + " " + std::string(path) + ": " +
                  os_error_from_code(static_cast<std::uint32_t>(code)).display());
}

Failure<SetupError> storage(std::string_view what, int code) {
  return fail(
      SetupErrorKind::StorageFailed,
      std::string(what) + ": " + os_error_from_code(static_cast<std::uint32_t>(code)).display());
}

Failure<SetupError> unsafe(std::string_view why, std::string_view path) {
  return fail(SetupErrorKind::ChannelMisconfigured, std::string(why) + ": " + std::string(path));
}

bool is_missing(int code) { return code == ENOENT || code == ENOTDIR; }

// Where an operation on a path happens: the directory holding its last
// component, reached without following links, and that component's name.
struct Place {
  FileHandle parent;  // invalid when a directory on the way does not exist
  std::string name;
};

SetupResult<Place> locate(std::string_view path) {
  const bool absolute = path.starts_with('/');
  FileHandle dir(::open(absolute ? "/" : ".", kDirFlags));
  if (!dir.valid()) return storage("open the start of", path, errno);

  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    const std::string_view part = path.substr(start, i - start);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = i + 1;
  }
  if (parts.empty()) return Place{std::move(dir), "."};

  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    FileHandle next(::openat(fd_of(dir), parts[i].c_str(), kDirFlags));
    if (!next.valid()) {
      const int code = errno;
      if (code == ENOENT) return Place{FileHandle(), parts.back()};
      // O_NOFOLLOW with O_DIRECTORY refuses a link (ELOOP, or ENOTDIR with
      // O_PATH) and anything that is not a directory (ENOTDIR).
      if (code == ELOOP || code == ENOTDIR) return unsafe("link or file on the way", path);
      return storage("open a directory of", path, code);
    }
    dir = std::move(next);
  }
  return Place{std::move(dir), parts.back()};
}

SetupResult<void> check_not_link_at(int dir, const std::string& name, std::string_view path) {
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (is_missing(errno)) return {};
    return storage("read the metadata of", path, errno);
  }
  if (S_ISLNK(st.st_mode)) return unsafe("symbolic link", path);
  return {};
}

SetupResult<CacheDirectory> open_directory_at(int dir, const std::string& name,
                                              std::string_view path) {
  if (auto r = check_not_link_at(dir, name, path); !r) return Failure{r.error()};
  FileHandle h(::openat(dir, name.c_str(), kDirFlags));
  if (!h.valid()) {
    const int code = errno;
    if (code == ELOOP || code == ENOTDIR) return unsafe("not a plain directory", path);
    return storage("open the directory", path, code);
  }
  if (auto r = check_not_link_at(dir, name, path); !r) return Failure{r.error()};
  struct stat st {};
  if (::fstat(fd_of(h), &st) != 0) return unsafe("unreadable metadata", path);
  if (!S_ISDIR(st.st_mode)) return unsafe("not a directory", path);
  return CacheDirectory(std::move(h));
}

SetupResult<CacheDirectory> ensure_directory_at(int dir, const std::string& name,
                                                std::string_view path) {
  if (auto r = check_not_link_at(dir, name, path); !r) return Failure{r.error()};
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    // Someone else creating it at the same moment is fine: the open checks it.
    if (::mkdirat(dir, name.c_str(), kNewDirMode) != 0 && errno != EEXIST)
      return storage("create the directory", path, errno);
  }
  return open_directory_at(dir, name, path);
}

// A regular file with exactly one link, opened without following a link.
SetupResult<CacheFile> open_file_at(int dir, const std::string& name, std::string_view path,
                                    int flags, bool append) {
  if (auto r = check_not_link_at(dir, name, path); !r) return Failure{r.error()};
  // Non-blocking, so that a FIFO planted here cannot hang the open.
  FileHandle h(::openat(dir, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                        kNewFileMode));
  if (!h.valid()) {
    const int code = errno;
    if (code == ELOOP) return unsafe("symbolic link", path);
    return storage("open", path, code);
  }
  struct stat st {};
  if (::fstat(fd_of(h), &st) != 0) return unsafe("unreadable metadata", path);
  if (S_ISDIR(st.st_mode)) return unsafe("a directory where a file belongs", path);
  if (!S_ISREG(st.st_mode)) return unsafe("not a regular file", path);
  if (st.st_nlink != 1) return unsafe("more than one link", path);

  const int status = ::fcntl(fd_of(h), F_GETFL);
  if (status < 0 || ::fcntl(fd_of(h), F_SETFL, status & ~O_NONBLOCK) != 0)
    return storage("set up", path, errno);
  if (append && ::lseek(fd_of(h), 0, SEEK_END) < 0)
    return storage("seek to the end of", path, errno);
  return CacheFile(std::move(h));
}

SetupResult<CacheFile> open_file(std::string_view path, int flags, bool append) {
  auto place = locate(path);
  if (!place) return Failure{std::move(place).error()};
  if (!place->parent.valid()) return storage("open", path, ENOENT);
  return open_file_at(fd_of(place->parent), place->name, path, flags, append);
}

enum class LockOutcome { Locked, Busy, Failed };

LockOutcome lock_whole(int fd) {
  for (;;) {
#ifdef F_OFD_SETLK
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;  // l_start = l_len = 0: the whole file, however long
    if (::fcntl(fd, F_OFD_SETLK, &range) == 0) return LockOutcome::Locked;
    if (errno == EAGAIN || errno == EACCES) return LockOutcome::Busy;
#else
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockOutcome::Locked;
    if (errno == EWOULDBLOCK) return LockOutcome::Busy;
#endif
    if (errno != EINTR) return LockOutcome::Failed;
  }
}

bool unlock_whole(int fd) {
#ifdef F_OFD_SETLK
  struct flock range {};
  range.l_type = F_UNLCK;
  range.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
#else
  return ::flock(fd, LOCK_UN) == 0;
#endif
}

}  // namespace

SetupResult<std::uint64_t> OsFile::size() const {
  struct stat st {};
  if (::fstat(fd_of(handle_), &st) != 0) return storage("read the size", errno);
  return static_cast<std::uint64_t>(st.st_size);
}

SetupResult<std::size_t> OsFile::read(std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t n = ::read(fd_of(handle_), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return storage("read", errno);
  }
}

SetupResult<void> OsFile::write_all(std::span<const std::uint8_t> bytes) {
  const std::size_t size = bytes.size();
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_of(handle_), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return storage("write", errno);
    }
    if (n == 0) return fail(SetupErrorKind::StorageFailed, "write: no byte was accepted");
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
#ifdef __linux__
  // Every 8 MiB the kernel is asked to start writing the file out, so that the
  // flush at the end of a body finds little left to do instead of the whole
  // download. Only a hint: a failure changes nothing.
  constexpr off_t kWriteBackStep = 8 << 20;
  const off_t end = ::lseek(fd_of(handle_), 0, SEEK_CUR);
  if (end > 0 && (end - static_cast<off_t>(size)) / kWriteBackStep != end / kWriteBackStep)
    ::sync_file_range(fd_of(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  return {};
}

SetupResult<void> OsFile::truncate(std::uint64_t length) {
  while (::ftruncate(fd_of(handle_), static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return storage("set the length", errno);
  }
  return {};
}

SetupResult<void> OsFile::flush() {
  while (::fsync(fd_of(handle_)) != 0) {
    if (errno != EINTR) return storage("flush", errno);
  }
  return {};
}

SetupResult<CacheFile> lock_file(std::string_view path) {
  auto place = locate(path);
  if (!place) return Failure{std::move(place).error()};
  if (!place->parent.valid()) return storage("open", path, ENOENT);
  auto file = open_file_at(fd_of(place->parent), place->name, path, O_RDWR | O_CREAT, false);
  if (!file) return Failure{std::move(file).error()};
  switch (lock_whole(fd_of(file->handle()))) {
    case LockOutcome::Locked:
      return std::move(file).value();
    case LockOutcome::Busy:
      return fail(SetupErrorKind::DownloadDirBusy, std::string(path));
    case LockOutcome::Failed:
      break;
  }
  return storage("lock", path, errno);
}

void close_cache(CacheLock& lock) {
  if (lock.lock_file.handle().valid()) {
    const int fd = fd_of(lock.lock_file.handle());
    // The same two-step release as on Windows; a second unlock of a free
    // range is harmless here.
    if (unlock_whole(fd)) (void)unlock_whole(fd);
  }
  lock.lock_file.close();
  for (auto& dir : lock.directories) dir = CacheDirectory();
  lock.directories.clear();
}

SetupResult<void> check_not_link(std::string_view path) {
  auto place = locate(path);
  if (!place) return Failure{std::move(place).error()};
  if (!place->parent.valid()) return {};
  return check_not_link_at(fd_of(place->parent), place->name, path);
}

SetupResult<CacheDirectory> open_directory(std::string_view path) {
  auto place = locate(path);
  if (!place) return Failure{std::move(place).error()};
  if (!place->parent.valid()) return storage("open the directory", path, ENOENT);
  return open_directory_at(fd_of(place->parent), place->name, path);
}

SetupResult<CacheDirectory> ensure_directory(std::string_view path) {
  auto place = locate(path);
  if (!place) return Failure{std::move(place).error()};
  if (!place->parent.valid()) return storage("create the directory", path, ENOENT);
  return ensure_directory_at(fd_of(place->parent), place->name, path);
}

SetupResult<CacheFile> open_file_read(std::string_view path) {
  // POSIX has no sharing modes: unlike on Windows, others can still change
  // the file while we hold it. The download lock keeps our own runs apart.
  return open_file(path, O_RDONLY, false);
}

SetupResult<CacheFile> open_file_write(std::string_view path, bool append) {
  return open_file(path, O_RDWR | O_CREAT, append);
}

SetupResult<void> move_file(std::string_view from, std::string_view to) {
  auto source = locate(from);
  if (!source) return Failure{std::move(source).error()};
  if (!source->parent.valid()) return storage("move", from, ENOENT);
  auto target = locate(to);
  if (!target) return Failure{std::move(target).error()};
  if (!target->parent.valid()) return storage("move to", to, ENOENT);
  if (::renameat(fd_of(source->parent), source->name.c_str(), fd_of(target->parent),
                 target->name.c_str()) != 0) {
    const int code = errno;
    return storage("move " + std::string(from) + " to", to, code);
  }
  // The rename lives in the directory: flushed, it survives a power cut.
  FileHandle dir(::openat(fd_of(target->parent), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return storage("open the directory of", to, errno);
  while (::fsync(fd_of(dir)) != 0) {
    if (errno != EINTR) return storage("flush the directory of", to, errno);
  }
  return {};
}

SetupResult<void> delete_file(std::string_view path) {
  auto place = locate(path);
  if (!place) return Failure{std::move(place).error()};
  if (!place->parent.valid()) return storage("delete", path, ENOENT);
  if (::unlinkat(fd_of(place->parent), place->name.c_str(), 0) != 0)
    return storage("delete", path, errno);
  return {};
}

std::optional<std::uint64_t> file_size(std::string_view path) {
  auto place = locate(path);
  if (!place || !place->parent.valid()) return std::nullopt;
  struct stat st {};
  if (::fstatat(fd_of(place->parent), place->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return std::nullopt;
  if (S_ISDIR(st.st_mode)) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

SetupResult<void> create_trusted_directories(std::string_view path) {
  const auto is_directory = [](const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  if (is_directory(std::string(path))) return {};
  const auto chain = posix_path_chain(path);
  if (chain.empty()) return storage("create", path, ENOENT);
  for (const auto& step : chain) {
    if (::mkdir(step.c_str(), kNewDirMode) != 0 && errno != EEXIST)
      return storage("create", step, errno);
  }
  if (!is_directory(std::string(path))) return storage("create", path, ENOTDIR);
  return {};
}

std::vector<std::string> path_chain(std::string_view path) { return posix_path_chain(path); }

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

}  // namespace nuvo
