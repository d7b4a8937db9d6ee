// Where the user's own local application data lives, and which cache paths
// this platform accepts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nuvo {

// The user's Local AppData known folder (the Linux stand-in: the XDG cache
// directory); empty when the system cannot say where it is.
std::optional<std::string> local_app_data();

// An absolute path in this platform's sense.
bool is_absolute_cache_path(std::string_view path);

// What check_channel demands of a cache directory on this platform.
bool is_acceptable_cache_dir(std::string_view path);

// The rules of each platform, as pure functions of the path's text.

// A drive path (C:\...), a UNC path (\\server\share\...) or a verbatim one (\\?\...).
bool is_absolute_windows_path(std::string_view path);

// Absolute, no ".." component, and on a drive: C:\... or \\?\C:\..., never a
// UNC, verbatim UNC or device path.
bool is_acceptable_windows_cache_dir(std::string_view path);

// The extended-length form of a full, normal Windows path (as
// GetFullPathNameW gives it), which the file calls take beyond MAX_PATH:
// C:\a gives \\?\C:\a, \\server\share\a gives \\?\UNC\server\share\a; a verbatim
// path, a device path and anything else stay as they are.
std::string extended_length_path(std::string_view full_path);

// The Linux stand-in: an absolute path without a ".." component.
bool is_acceptable_posix_cache_dir(std::string_view path);

}  // namespace nuvo
