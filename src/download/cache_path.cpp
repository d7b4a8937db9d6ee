// The default cache root and the start of the careful walk.
#include "download/cache_path.h"

#include <algorithm>

#include "platform/cache_fs.h"
#include "platform/paths.h"

namespace nuvo {

CacheRoot cache_root_in(std::string_view local_app_data) {
  return CacheRoot{join_path(join_path(local_app_data, "NuvoSetup"), "cache"),
                   std::string(local_app_data)};
}

std::optional<CacheRoot> default_cache_root() {
  const auto folder = local_app_data();
  if (!folder) return std::nullopt;
  return cache_root_in(*folder);
}

std::vector<std::string> cache_walk(std::string_view root, std::string_view trusted) {
  std::vector<std::string> walk = path_chain(root);
  if (trusted.empty()) return walk;
  const std::vector<std::string> above = path_chain(trusted);
  if (above.empty() || above.size() >= walk.size() ||
      !std::equal(above.begin(), above.end(), walk.begin()))
    return walk;
  walk.erase(walk.begin(), walk.begin() + static_cast<std::ptrdiff_t>(above.size()));
  return walk;
}

}  // namespace nuvo
