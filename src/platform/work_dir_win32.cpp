// Windows temporary folders under GetTempPathW; removal never enters a
// reparse point, it only removes the link itself.
#include <string>

#include "platform/win32_support.h"
#include "platform/work_dir.h"

namespace nuvo {
namespace {

void remove_tree(const std::wstring& dir) {
  WIN32_FIND_DATAW entry{};
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = dir + L"\\" + name;
      const DWORD attributes = entry.dwFileAttributes;
      if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        remove_tree(path);
      } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

Result<std::string, OsError> absolute_path(std::string_view path) {
  const auto wide = win32::widen(path);
  if (!wide) return Failure{os_error_from_code(ERROR_INVALID_NAME)};
  const DWORD need = GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
  if (need == 0) return Failure{last_os_error()};
  std::wstring full(need, L'\0');
  const DWORD got = GetFullPathNameW(wide->c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return Failure{last_os_error()};
  full.resize(got);
  return win32::narrow(full);
}

Result<TempDirectory, OsError> TempDirectory::create() {
  wchar_t base[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) return Failure{last_os_error()};
  std::wstring root(base, n);
  if (!root.empty() && root.back() == L'\\') root.pop_back();
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = root + L"\\nuvo-release-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(GetTickCount64()) + L"-" +
                              std::to_wstring(attempt);
    if (CreateDirectoryW(path.c_str(), nullptr)) return TempDirectory(win32::narrow(path));
    if (GetLastError() != ERROR_ALREADY_EXISTS) return Failure{last_os_error()};
  }
  return Failure{os_error_from_code(ERROR_ALREADY_EXISTS)};
}

TempDirectory::~TempDirectory() {
  if (path_.empty()) return;
  if (const auto wide = win32::widen(path_)) remove_tree(*wide);
}

}  // namespace nuvo
