// Rules for the cache directory path, as pure functions of its text.
#pragma once

#include <string_view>

namespace nuvo {

// A drive path (C:\...), a UNC path (\\server\share\...) or a verbatim one (\\?\...).
bool is_absolute_windows_path(std::string_view path);

// Absolute, no ".." component, and on a drive: C:\... or \\?\C:\..., never a
// UNC, verbatim UNC or device path.
bool is_acceptable_windows_cache_dir(std::string_view path);

// The Linux stand-in: an absolute path without a ".." component.
bool is_acceptable_posix_cache_dir(std::string_view path);

}  // namespace nuvo
