// The user's Local AppData folder, and the Windows cache path rules.
#include "platform/paths.h"
#include "platform/win32_support.h"

#include <knownfolders.h>
#include <shlobj.h>

namespace nuvo {

std::optional<std::string> local_app_data() {
  PWSTR folder = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
  std::optional<std::string> path;
  if (SUCCEEDED(hr) && folder != nullptr) {
    std::string text = win32::narrow(folder);
    if (!text.empty()) path = std::move(text);
  }
  CoTaskMemFree(folder);  // also required after a failure
  return path;
}

bool is_absolute_cache_path(std::string_view path) { return is_absolute_windows_path(path); }

bool is_acceptable_cache_dir(std::string_view path) {
  return is_acceptable_windows_cache_dir(path);
}

}  // namespace nuvo
