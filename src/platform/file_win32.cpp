// Windows file layer.
#include "platform/file.h"
#include "platform/win32_support.h"

namespace nuvo {

using win32::from_handle;
using win32::to_handle;

bool FileHandleTraits::is_valid(Native h) { return h != 0 && h != -1; }

void FileHandleTraits::close(Native h) {
  const DWORD saved = GetLastError();
  CloseHandle(to_handle(h));
  SetLastError(saved);
}

OsError os_error_from_code(std::uint32_t code) {
  std::string text = win32::system_message(code);
  if (text.empty()) text = "Unknown error";
  return OsError{code, std::move(text)};
}

OsError last_os_error() { return os_error_from_code(GetLastError()); }

Result<ReadOnlyFile, OsError> ReadOnlyFile::open(std::string_view path) {
  const auto wide = win32::widen(path);
  if (!wide) return Failure{os_error_from_code(ERROR_INVALID_NAME)};
  FileHandle h(from_handle(CreateFileW(wide->c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (!h.valid()) return Failure{last_os_error()};
  if (GetFileType(to_handle(h.get())) != FILE_TYPE_DISK)
    return Failure{os_error_from_code(ERROR_INVALID_FUNCTION)};
  return ReadOnlyFile(std::move(h));
}

Result<std::uint64_t, OsError> ReadOnlyFile::size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(to_handle(handle_.get()), &size)) return Failure{last_os_error()};
  return static_cast<std::uint64_t>(size.QuadPart);
}

Result<std::size_t, OsError> ReadOnlyFile::read(std::span<std::uint8_t> buffer) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
  if (!ReadFile(to_handle(handle_.get()), buffer.data(), want, &got, nullptr))
    return Failure{last_os_error()};
  return static_cast<std::size_t>(got);
}

Result<PathInfo, OsError> path_info(std::string_view path) {
  const auto wide = win32::widen(path);
  if (!wide) return Failure{os_error_from_code(ERROR_INVALID_NAME)};
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide->c_str(), GetFileExInfoStandard, &data))
    return Failure{last_os_error()};
  PathInfo info;
  info.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!info.is_directory)
    info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return info;
}

}  // namespace nuvo
