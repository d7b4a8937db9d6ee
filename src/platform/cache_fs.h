// Careful file-system access for the package cache: no link, junction or
// mount point on the way is followed, and one holder at a time owns the cache.
#pragma once

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/setup_error.h"
#include "platform/scoped_handle.h"

namespace nuvo {

inline constexpr std::string_view kLockFileName = "download.lock";

// An open file as the cache code sees it: the operating system's file, or an
// in-memory one in tests that fail its calls on purpose.
class FileIo {
 public:
  virtual ~FileIo() = default;
  virtual SetupResult<std::uint64_t> size() const = 0;
  virtual SetupResult<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
  virtual SetupResult<void> write_all(std::span<const std::uint8_t> bytes) = 0;
  virtual SetupResult<void> truncate(std::uint64_t length) = 0;
  virtual SetupResult<void> flush() = 0;
  // The operating system's handle; none for other files.
  virtual const FileHandle* os_handle() const { return nullptr; }
};

// An open regular file of the cache with exactly one link. Failures are
// StorageFailed with the operating system's description.
class CacheFile {
 public:
  CacheFile() = default;
  explicit CacheFile(FileHandle handle);
  explicit CacheFile(std::unique_ptr<FileIo> io) : io_(std::move(io)) {}

  bool valid() const { return io_ != nullptr; }
  // Invalid unless this is an open file of the operating system.
  const FileHandle& handle() const;
  void close() { io_.reset(); }

  SetupResult<std::uint64_t> size() const { return io_->size(); }
  // Up to buffer.size() bytes from the current position; 0 at the end.
  SetupResult<std::size_t> read(std::span<std::uint8_t> buffer) { return io_->read(buffer); }
  // Every byte or a failure; a write that takes nothing is a failure.
  SetupResult<void> write_all(std::span<const std::uint8_t> bytes) { return io_->write_all(bytes); }
  // Sets the length; the position stays where it is.
  SetupResult<void> truncate(std::uint64_t length) { return io_->truncate(length); }
  // Down to the disk.
  SetupResult<void> flush() { return io_->flush(); }

 private:
  std::unique_ptr<FileIo> io_;
};

// An open directory, held for as long as the run works inside it.
class CacheDirectory {
 public:
  CacheDirectory() = default;
  explicit CacheDirectory(FileHandle handle) : handle_(std::move(handle)) {}

  bool valid() const { return handle_.valid(); }
  const FileHandle& handle() const { return handle_; }

 private:
  FileHandle handle_;
};

// The cache, held for one package run: every directory the walk opened, down
// to the cache root, and download.lock with the exclusive lock on it.
// Destroying it is close_cache.
struct CacheLock {
  std::vector<CacheDirectory> directories;  // outermost first
  CacheFile lock_file;

  CacheLock() = default;
  CacheLock(std::vector<CacheDirectory> dirs, CacheFile file)
      : directories(std::move(dirs)), lock_file(std::move(file)) {}
  CacheLock(CacheLock&&) noexcept = default;
  CacheLock& operator=(CacheLock&& other) noexcept;
  ~CacheLock();
};

class CacheFs;

// The careful walk: first `trusted`, the folder the walk begins below, is
// created with its missing ancestors when it is not there (a new user's data
// folder); then every directory of `walk` in order, outermost first, created
// when missing and held, then download.lock in the last one, locked without
// waiting. DownloadDirBusy while any other holder has it, in this process or
// another; ChannelMisconfigured for an unsafe object on the way;
// StorageFailed otherwise.
SetupResult<CacheLock> open_cache(CacheFs& fs, const std::vector<std::string>& walk,
                                  std::string_view trusted = {});

// The whole walk of `root` over this system's files, from the drive root (the
// file-system root on POSIX) down.
SetupResult<CacheLock> open_cache(std::string_view root);

// download.lock at `path`, opened for writing (open_file_write) and locked
// whole without waiting; DownloadDirBusy while anyone else holds the lock.
SetupResult<CacheFile> lock_file(std::string_view path);

// Unlocks and closes everything; never fails, may be called more than once.
void close_cache(CacheLock& lock);

// The object at `path` itself, never what a link points to, is not a link
// (reparse point). A missing path passes.
SetupResult<void> check_not_link(std::string_view path);

SetupResult<CacheDirectory> open_directory(std::string_view path);

// Creates the directory when its metadata cannot be read, then opens it.
SetupResult<CacheDirectory> ensure_directory(std::string_view path);

// Creates `path` and whatever is missing above it as they are, links followed,
// and nothing when it is a directory already: for the folder the system
// vouches for, which the careful walk never enters.
SetupResult<void> create_trusted_directories(std::string_view path);

// An existing file, for reading. On Windows nobody may write, rename or delete
// it while it is open; POSIX has no sharing modes to say so.
SetupResult<CacheFile> open_file_read(std::string_view path);

// Created when missing, never truncated on open; positioned at the end when
// `append`, else at the start. Others may read and write, not delete.
SetupResult<CacheFile> open_file_write(std::string_view path, bool append);

// Replaces an existing `to` in one step: after a crash the file has one name
// or the other, never none (both names are in one directory). On POSIX the
// directory is flushed after the rename, so the move is on the disk when
// this returns. On Windows MOVEFILE_WRITE_THROUGH guarantees that only for a
// move done as a copy and a delete, which this one never is (no copy is
// allowed); a rename is a logged change of the file system's metadata, which
// a power cut right after this returns may still undo. The file's bytes
// were flushed before the move, so either name holds the same data.
SetupResult<void> move_file(std::string_view from, std::string_view to);
SetupResult<void> delete_file(std::string_view path);

// The size recorded for the object at `path` itself (0 for a directory);
// empty when its metadata cannot be read.
std::optional<std::uint64_t> file_size(std::string_view path);

// The file operations the download and the package run use, as one
// interface: the functions above behind it, or an in-memory file system in
// tests that fails any call or stops between two calls as a crash would.
class CacheFs {
 public:
  virtual ~CacheFs() = default;
  virtual SetupResult<CacheFile> lock_file(std::string_view path) = 0;
  virtual SetupResult<void> check_not_link(std::string_view path) = 0;
  virtual SetupResult<CacheDirectory> ensure_directory(std::string_view path) = 0;
  virtual SetupResult<void> create_trusted_directories(std::string_view path) = 0;
  virtual SetupResult<CacheFile> open_file_read(std::string_view path) = 0;
  virtual SetupResult<CacheFile> open_file_write(std::string_view path, bool append) = 0;
  virtual SetupResult<void> move_file(std::string_view from, std::string_view to) = 0;
  virtual SetupResult<void> delete_file(std::string_view path) = 0;
  virtual std::optional<std::uint64_t> file_size(std::string_view path) = 0;
  // Waits before another attempt at a refused operation.
  virtual void pause(std::chrono::milliseconds how_long) = 0;
};

// The operating system's file system through the functions above.
CacheFs& os_cache_fs();

// `dir` + this platform's separator + `name`.
std::string join_path(std::string_view dir, std::string_view name);

// A path and all its ancestors, from the top down: C:\a\b gives C:\, C:\a,
// C:\a\b, and \\?\C:\a gives \\?\C:\, \\?\C:\a. Empty unless the path is on a
// drive. Both '\' and '/' separate, except in a verbatim (\\?\) path.
std::vector<std::string> windows_path_chain(std::string_view path);

// Likewise for an absolute POSIX path: /a/b gives /, /a, /a/b.
std::vector<std::string> posix_path_chain(std::string_view path);

// This platform's chain: windows_path_chain or posix_path_chain.
std::vector<std::string> path_chain(std::string_view path);

}  // namespace nuvo
