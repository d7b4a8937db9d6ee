// The default cache root and the start of the careful walk.
#include "download/cache_path.h"

#include <algorithm>

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

CacheWalk cache_walk(std::string_view root, std::string_view trusted) {
  CacheWalk walk{{}, path_chain(root)};
  if (trusted.empty()) return walk;
  const std::vector<std::string> above = path_chain(trusted);
  if (above.empty() || above.size() >= walk.directories.size() ||
      !std::equal(above.begin(), above.end(), walk.directories.begin()))
    return walk;
  walk.directories.erase(walk.directories.begin(),
                         walk.directories.begin() + static_cast<std::ptrdiff_t>(above.size()));
  walk.trusted = above.back();
  return walk;
}

SetupResult<CacheLock> open_cache(CacheFs& fs, const CacheWalk& walk) {
  return open_cache(fs, walk.directories, walk.trusted);
}

}  // namespace nuvo
