// Where the package cache lives, and where the careful walk of its path begins.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cache_fs.h"

namespace nuvo {

inline constexpr std::string_view kNoCacheRoot =
    "Не удалось определить каталог временных загрузок Windows.";

struct CacheRoot {
  std::string path;
  // A folder above the root that the system vouches for, with whatever lies
  // above it; the walk begins below it. Empty: the walk begins at the top.
  std::string trusted;
};

// NuvoSetup\cache in the user's own Local AppData folder, trusting that
// folder: nobody else can plant a link at or above it, and a profile disk
// mounted there or a junction that moves it is the user's own doing.
CacheRoot cache_root_in(std::string_view local_app_data);

// cache_root_in the user's Local AppData; empty when the system cannot say
// where that is.
std::optional<CacheRoot> default_cache_root();

// The careful walk of a cache root: the directories it opens and holds, from
// the top down to the root, and the trusted folder above them, if any.
struct CacheWalk {
  std::string trusted;  // created as it is when missing, never walked; empty: none
  std::vector<std::string> directories;
};

// Those below `trusted` when it is one of the root's ancestors, else every
// directory from the drive root (the file-system root on POSIX).
CacheWalk cache_walk(std::string_view root, std::string_view trusted);

// The cache of that walk, held (open_cache).
SetupResult<CacheLock> open_cache(CacheFs& fs, const CacheWalk& walk);

}  // namespace nuvo
