// The cache root under Local AppData.
#include "download/cache_path.h"
#include "platform/paths.h"
#include "platform/win32_support.h"

#include <knownfolders.h>
#include <shlobj.h>

namespace nuvo {

std::optional<std::string> default_cache_root() {
  PWSTR folder = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
  std::optional<std::string> root;
  if (SUCCEEDED(hr) && folder != nullptr) {
    std::string path = win32::narrow(folder);
    if (!path.empty()) root = path + "\\NuvoSetup\\cache";
  }
  CoTaskMemFree(folder);  // also required after a failure
  return root;
}

bool is_absolute_cache_path(std::string_view path) { return is_absolute_windows_path(path); }

bool is_acceptable_cache_dir(std::string_view path) {
  return is_acceptable_windows_cache_dir(path);
}

}  // namespace nuvo
