// The per-release directory of the cache and the names of its files.
#pragma once

#include <string>
#include <string_view>

#include "common/setup_error.h"
#include "platform/cache_fs.h"

namespace nuvo {

inline constexpr std::string_view kPartFileName = "installer.part";
inline constexpr std::string_view kInstallerFileName = "NuvoInstaller.exe";
inline constexpr std::string_view kStateFileName = "resume.json";

// Lower-case hex SHA-256 of version, URL and signature text, each followed by
// a zero byte: a change of any of them starts in a fresh directory.
std::string release_dir_name(std::string_view version, std::string_view url_text,
                             std::string_view signature_text);

struct ReleasePaths {
  CacheDirectory dir;     // held open for the run
  std::string part;       // installer.part
  std::string installer;  // NuvoInstaller.exe
  std::string state;      // resume.json
};

// Creates the release directory under `root` when needed and opens it.
// ChannelMisconfigured for an unsafe object, StorageFailed otherwise.
SetupResult<ReleasePaths> release_paths(CacheFs& fs, std::string_view root, std::string_view version,
                                        std::string_view url_text, std::string_view signature_text);

}  // namespace nuvo
