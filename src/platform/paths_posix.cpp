// The Linux stand-in keeps its local application data in the XDG cache
// directory.
#include <cstdlib>

#include "platform/paths.h"

namespace nuvo {

std::optional<std::string> local_app_data() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg);
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache";
  return std::nullopt;
}

bool is_absolute_cache_path(std::string_view path) { return path.starts_with('/'); }

bool is_acceptable_cache_dir(std::string_view path) { return is_acceptable_posix_cache_dir(path); }

}  // namespace nuvo
