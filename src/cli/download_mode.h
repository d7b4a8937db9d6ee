// --download-only: downloads and verifies the installer into the cache.
#pragma once

#include <optional>
#include <string>

#include "common/result.h"

namespace nuvo {

inline constexpr std::string_view kCacheDirNotAbsolute = "Каталог загрузки должен быть абсолютным путём.";

// Stage lines go to standard error as the run goes and the report to standard
// output while the package is still held; on failure, the message for
// standard error.
Result<void, std::string> run_download_only(const std::optional<std::string>& cache_dir);

}  // namespace nuvo
