#include "cli/download_mode.h"

#include <atomic>

#include "cli/arguments.h"
#include "cli/check_mode.h"
#include "cli/report.h"
#include "download/cache_path.h"
#include "download/package.h"
#include "platform/console.h"
#include "platform/paths.h"

namespace nuvo {

Result<void, std::string> run_download_only(const std::optional<std::string>& cache_dir) {
  // A folder given here is walked whole; the default one below Local AppData.
  CacheRoot root{cache_dir.value_or(""), {}};
  if (!cache_dir) {
    auto found = default_cache_root();
    if (!found) return Failure{std::string(kNoCacheRoot)};
    root = std::move(*found);
  }
  // Before anything touches the channel or the network.
  if (!is_absolute_cache_path(root.path)) return Failure{std::string(kCacheDirNotAbsolute)};

  auto client = make_channel_client(builtin_channel_settings(), std::move(root.path),
                                    std::move(root.trusted));
  if (!client) return Failure{std::string(client.error().message())};

  const std::atomic<bool> never_cancelled{false};
  const ProgressSink print_stages = [](const DownloadProgress& p) {
    if (p.stage == Stage::Downloading) return;
    std::string line(stage_name(p.stage));
    line += '\n';
    write_std(StdStream::Err, line);
  };
  auto package = prepare_package(*client, never_cancelled, print_stages);
  if (!package) return Failure{std::string(package.error().message())};

  // The report is written while the package is still held and locked.
  write_std(StdStream::Out, format_report({{"available_version", package->version},
                                           {"bootstrap_version", std::string(BOOTSTRAP_VERSION)},
                                           {"installed", false},
                                           {"installer_verified", true},
                                           {"path", package->installer_path}}));
  return {};
}

}  // namespace nuvo
