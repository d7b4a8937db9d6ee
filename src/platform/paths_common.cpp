// The cache path rules of both platforms, as pure functions of the text.
#include <vector>

#include "platform/paths.h"

namespace nuvo {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::vector<std::string_view> components(std::string_view path, bool verbatim) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    // Verbatim paths are taken literally: only the backslash separates.
    const bool sep = i == path.size() || path[i] == '\\' || (!verbatim && path[i] == '/');
    if (sep) {
      if (i > start) out.push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

bool has_dot_dot(std::string_view path, bool verbatim) {
  for (const auto c : components(path, verbatim)) {
    if (c == "..") return true;
  }
  return false;
}

bool is_drive_root(std::string_view p) {
  return p.size() >= 3 && is_letter(p[0]) && p[1] == ':' && is_separator(p[2]);
}

}  // namespace

bool is_absolute_windows_path(std::string_view path) {
  if (is_drive_root(path)) return true;
  // \\server\share\... and \\?\... (also with forward slashes for UNC).
  return path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) &&
         !is_separator(path[2]);
}

bool is_acceptable_windows_cache_dir(std::string_view path) {
  if (!is_absolute_windows_path(path)) return false;
  if (path.starts_with("\\\\?\\")) {
    const std::string_view rest = path.substr(4);
    return rest.size() >= 3 && is_letter(rest[0]) && rest[1] == ':' && rest[2] == '\\' &&
           !has_dot_dot(rest, true);
  }
  return is_drive_root(path) && !has_dot_dot(path, false);
}

std::string extended_length_path(std::string_view full_path) {
  if (is_drive_root(full_path)) return "\\\\?\\" + std::string(full_path);
  const bool unc = full_path.size() >= 3 && full_path[0] == '\\' && full_path[1] == '\\' &&
                   full_path[2] != '\\' && full_path[2] != '?' && full_path[2] != '.';
  if (unc) return "\\\\?\\UNC\\" + std::string(full_path.substr(2));
  return std::string(full_path);
}

bool is_acceptable_posix_cache_dir(std::string_view path) {
  if (!path.starts_with('/')) return false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (path.substr(start, i - start) == "..") return false;
      start = i + 1;
    }
  }
  return true;
}

}  // namespace nuvo
