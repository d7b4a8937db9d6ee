// Where the per-user cache lives, and which cache paths this platform accepts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nuvo {

inline constexpr std::string_view kNoCacheRoot =
    "Не удалось определить каталог временных загрузок Windows.";

// The per-user local application data folder + "NuvoSetup" + "cache";
// empty when the folder cannot be determined.
std::optional<std::string> default_cache_root();

// An absolute path in this platform's sense.
bool is_absolute_cache_path(std::string_view path);

// What check_channel demands of a cache directory on this platform.
bool is_acceptable_cache_dir(std::string_view path);

}  // namespace nuvo
