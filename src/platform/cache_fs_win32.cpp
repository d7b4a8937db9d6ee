// Windows cache file layer: every object is opened with
// FILE_FLAG_OPEN_REPARSE_POINT and checked from its handle, and the cache is
// locked with a whole-file LockFileEx on download.lock.
#include <algorithm>

#include "platform/cache_fs.h"
#include "platform/file.h"
#include "platform/os_file.h"
#include "platform/paths.h"
#include "platform/win32_support.h"

namespace nuvo {
namespace {

using win32::from_handle;
using win32::to_handle;

HANDLE native(const FileHandle& h) { return to_handle(h.get()); }

// Another program (a virus scanner, an indexer) holding the file for a moment.
bool is_transient(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         code == ERROR_ACCESS_DENIED;
}

Failure<SetupError> storage(std::string_view what, DWORD code) {
  SetupError e(SetupErrorKind::StorageFailed,
               std::string(what) + ": " + os_error_from_code(code).display());
  e.transient = is_transient(code);
  return Failure{std::move(e)};
}

SetupResult<std::wstring> wide_path(std::string_view path);

// Access denied is also what a directory standing where a file belongs gives
// (to an open, a delete, or a move onto it), and that does not pass by itself.
Failure<SetupError> storage(std::string_view what, std::string_view path, DWORD code) {
  auto failure = storage(std::string(what) + " " + std::string(path), code);
  if (code == ERROR_ACCESS_DENIED) {
    const auto wide = wide_path(path);
    const DWORD attributes = wide ? GetFileAttributesW(wide->c_str()) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      failure.error.transient = false;
    }
  }
  return failure;
}

Failure<SetupError> unsafe(std::string_view why, std::string_view path) {
  return fail(SetupErrorKind::ChannelMisconfigured, std::string(why) + ": " + std::string(path));
}

bool is_not_found(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_INVALID_DRIVE || code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME;
}

// The name every file call of the cache takes: the extended-length form of
// the full path. Without it a path of MAX_PATH characters or more fails
// wherever LongPathsEnabled is off, which is the default, even with
// longPathAware in the manifest, and a --cache-dir can be that long. That
// form is taken literally, so the path is made full and normal first, as
// Windows would make it for the plain form (separators, "." components,
// trailing dots and blanks); a verbatim path is left as it is.
SetupResult<std::wstring> wide_path(std::string_view path) {
  auto wide = win32::widen(path);
  if (!wide) return storage("convert", path, ERROR_INVALID_NAME);
  if (wide->starts_with(L"\\\\?\\")) return std::move(*wide);
  std::wstring full(wide->size() + 1, L'\0');
  for (;;) {
    const DWORD n =
        GetFullPathNameW(wide->c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return storage("find the full name of " + std::string(path), GetLastError());
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);  // n is the size needed, terminator included
  }
  auto extended = win32::widen(extended_length_path(win32::narrow(full)));
  if (!extended) return storage("convert", path, ERROR_INVALID_NAME);
  return std::move(*extended);
}

// The attributes of the object itself: GetFileAttributesExW reports a link's
// own attributes, never its target's.
bool read_attributes(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
  return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
}

SetupResult<void> check_not_link_wide(const std::wstring& wide, std::string_view path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!read_attributes(wide, data)) {
    const DWORD code = GetLastError();
    if (is_not_found(code)) return {};
    return storage("read the attributes of", path, code);
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return unsafe("reparse point", path);
  return {};
}

enum class Expect { Directory, File };

// What the handle itself says; an open that raced a swap is caught here.
SetupResult<void> check_handle(HANDLE h, Expect expect, std::string_view path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return unsafe("unreadable file information", path);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return unsafe("reparse point", path);
  const bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (expect == Expect::Directory) {
    if (!directory) return unsafe("not a directory", path);
    return {};
  }
  if (directory) return unsafe("a directory where a file belongs", path);
  if (info.nNumberOfLinks != 1) return unsafe("more than one link", path);
  return {};
}

SetupResult<FileHandle> create_file(const std::wstring& wide, std::string_view path, DWORD access,
                                    DWORD share, DWORD disposition, DWORD flags) {
  FileHandle h(
      from_handle(CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr)));
  if (!h.valid()) return storage("open", path, GetLastError());
  return h;
}

SetupResult<CacheFile> open_file(std::string_view path, DWORD access, DWORD share,
                                 DWORD disposition, bool append) {
  auto wide = wide_path(path);
  if (!wide) return Failure{std::move(wide).error()};
  if (auto r = check_not_link_wide(*wide, path); !r) return Failure{r.error()};
  auto h = create_file(*wide, path, access, share, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!h) return Failure{std::move(h).error()};
  if (auto r = check_handle(native(*h), Expect::File, path); !r) return Failure{r.error()};
  if (append && !SetFilePointerEx(native(*h), LARGE_INTEGER{}, nullptr, FILE_END))
    return storage("seek to the end of", path, GetLastError());
  return CacheFile(std::move(h).value());
}

void unlock_whole(HANDLE h) {
  // If the first release fails there is nothing to undo; the second one
  // normally answers ERROR_NOT_LOCKED, which is what we want to see. Neither
  // is ever reported.
  if (!UnlockFile(h, 0, 0, MAXDWORD, MAXDWORD)) return;
  (void)UnlockFile(h, 0, 0, MAXDWORD, MAXDWORD);
}

}  // namespace

SetupResult<std::uint64_t> OsFile::size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(native(handle_), &size)) return storage("read the size", GetLastError());
  return static_cast<std::uint64_t>(size.QuadPart);
}

SetupResult<std::size_t> OsFile::read(std::span<std::uint8_t> buffer) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
  if (!ReadFile(native(handle_), buffer.data(), want, &got, nullptr))
    return storage("read", GetLastError());
  return static_cast<std::size_t>(got);
}

SetupResult<void> OsFile::write_all(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!WriteFile(native(handle_), bytes.data(), want, &put, nullptr))
      return storage("write", GetLastError());
    if (put == 0) return fail(SetupErrorKind::StorageFailed, "write: no byte was accepted");
    bytes = bytes.subspan(put);
  }
  return {};
}

SetupResult<void> OsFile::truncate(std::uint64_t length) {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFileInformationByHandle(native(handle_), FileEndOfFileInfo, &info, sizeof info))
    return storage("set the length", GetLastError());
  return {};
}

SetupResult<void> OsFile::flush() {
  if (!FlushFileBuffers(native(handle_))) return storage("flush", GetLastError());
  return {};
}

SetupResult<CacheFile> lock_file(std::string_view path) {
  auto file = open_file_write(path, false);
  if (!file) return Failure{std::move(file).error()};
  OVERLAPPED whole{};
  if (!LockFileEx(native(file->handle()), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                  MAXDWORD, MAXDWORD, &whole)) {
    const DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION)
      return fail(SetupErrorKind::DownloadDirBusy, std::string(path));
    return storage("lock", path, code);
  }
  return std::move(file).value();
}

void close_cache(CacheLock& lock) {
  if (lock.lock_file.handle().valid()) {
    unlock_whole(native(lock.lock_file.handle()));
  }
  lock.lock_file.close();
  for (auto& dir : lock.directories) dir = CacheDirectory();
  lock.directories.clear();
}

SetupResult<void> check_not_link(std::string_view path) {
  auto wide = wide_path(path);
  if (!wide) return Failure{std::move(wide).error()};
  return check_not_link_wide(*wide, path);
}

SetupResult<CacheDirectory> open_directory(std::string_view path) {
  auto wide = wide_path(path);
  if (!wide) return Failure{std::move(wide).error()};
  if (auto r = check_not_link_wide(*wide, path); !r) return Failure{r.error()};
  // Sharing binds only handles that may read, write, run or delete; one that
  // reads attributes alone takes no part in it. Listing counts as reading,
  // and without delete sharing no one else can open the directory to rename
  // or delete it while the walk holds it. Write sharing stays, because a
  // rename into a directory opens that directory to add a file: that is how
  // installer.part and resume.tmp take their final names.
  auto h = create_file(*wide, path, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!h) return Failure{std::move(h).error()};
  if (auto r = check_not_link_wide(*wide, path); !r) return Failure{r.error()};
  if (auto r = check_handle(native(*h), Expect::Directory, path); !r) return Failure{r.error()};
  return CacheDirectory(std::move(h).value());
}

SetupResult<CacheDirectory> ensure_directory(std::string_view path) {
  auto wide = wide_path(path);
  if (!wide) return Failure{std::move(wide).error()};
  if (auto r = check_not_link_wide(*wide, path); !r) return Failure{r.error()};
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!read_attributes(*wide, data) && !CreateDirectoryW(wide->c_str(), nullptr)) {
    // Someone else creating it at the same moment is fine: the open checks it.
    const DWORD code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS) return storage("create the directory", path, code);
  }
  return open_directory(path);
}

SetupResult<CacheFile> open_file_read(std::string_view path) {
  return open_file(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, false);
}

SetupResult<CacheFile> open_file_write(std::string_view path, bool append) {
  return open_file(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                   OPEN_ALWAYS, append);
}

SetupResult<void> move_file(std::string_view from, std::string_view to) {
  auto wide_from = wide_path(from);
  if (!wide_from) return Failure{std::move(wide_from).error()};
  auto wide_to = wide_path(to);
  if (!wide_to) return Failure{std::move(wide_to).error()};
  if (!MoveFileExW(wide_from->c_str(), wide_to->c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = GetLastError();
    return storage("move " + std::string(from) + " to", to, code);
  }
  return {};
}

SetupResult<void> delete_file(std::string_view path) {
  auto wide = wide_path(path);
  if (!wide) return Failure{std::move(wide).error()};
  if (!DeleteFileW(wide->c_str())) return storage("delete", path, GetLastError());
  return {};
}

std::optional<std::uint64_t> file_size(std::string_view path) {
  const auto wide = wide_path(path);
  if (!wide) return std::nullopt;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!read_attributes(*wide, data)) return std::nullopt;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

SetupResult<void> create_trusted_directories(std::string_view path) {
  auto wide = wide_path(path);
  if (!wide) return Failure{std::move(wide).error()};
  const auto is_directory = [](const std::wstring& p) {
    const DWORD attributes = GetFileAttributesW(p.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  };
  if (is_directory(*wide)) return {};
  for (const auto& step : windows_path_chain(path)) {
    auto step_wide = wide_path(step);
    if (!step_wide) return Failure{std::move(step_wide).error()};
    if (is_directory(*step_wide)) continue;
    if (!CreateDirectoryW(step_wide->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return storage("create", step, GetLastError());
  }
  if (!is_directory(*wide)) return storage("create", path, ERROR_DIRECTORY);
  return {};
}

std::vector<std::string> path_chain(std::string_view path) { return windows_path_chain(path); }

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '\\' && out.back() != '/') out += '\\';
  out += name;
  return out;
}

}  // namespace nuvo
