// The demo channel's installer. It installs nothing, but registers Nuvo under
// the current user's uninstall key as a real installer would, with the
// version that scripts/demo appended to this file when it published it
// ("NUVO-DEMO-VERSION:<version>" at the very end).
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr char kMarker[] = "NUVO-DEMO-VERSION:";

std::wstring own_version() {
  wchar_t path[MAX_PATH * 4] = {};
  if (GetModuleFileNameW(nullptr, path, MAX_PATH * 4) == 0) return {};
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  LARGE_INTEGER size{};
  std::vector<char> tail(64);
  DWORD got = 0;
  if (GetFileSizeEx(file, &size) && size.QuadPart > static_cast<LONGLONG>(tail.size())) {
    LARGE_INTEGER at{};
    at.QuadPart = size.QuadPart - static_cast<LONGLONG>(tail.size());
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
        !ReadFile(file, tail.data(), static_cast<DWORD>(tail.size()), &got, nullptr))
      got = 0;
  }
  CloseHandle(file);
  const std::string text(tail.data(), got);
  const auto marker = text.rfind(kMarker);
  if (marker == std::string::npos) return {};
  std::wstring version;
  for (char c : text.substr(marker + sizeof(kMarker) - 1))
    if (c != '\n' && c != '\r') version += static_cast<wchar_t>(c);
  return version;
}

bool set_string(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace

int main() {
  const std::wstring version = own_version();
  if (version.empty()) return 2;
  Sleep(1500);  // as long as a quick wizard takes
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER,
                      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nuvo", 0, nullptr,
                      0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return 3;
  const bool ok = set_string(key, L"DisplayName", L"Nuvo") &&
                  set_string(key, L"DisplayVersion", version) &&
                  set_string(key, L"Publisher", L"Nuvo (demo)");
  RegCloseKey(key);
  return ok ? 0 : 3;
}
