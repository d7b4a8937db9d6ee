#include "cli/check_mode.h"

#include <atomic>

#include "cli/arguments.h"
#include "cli/report.h"
#include "download/cache_path.h"
#include "manifest/channel.h"

namespace nuvo {

Result<std::string, std::string> run_check_only() {
  // The client is built with the cache directory and tests it, but this mode
  // never creates or writes anything there.
  auto cache_root = default_cache_root();
  if (!cache_root) return Failure{std::string(kNoCacheRoot)};

  auto client = make_channel_client(builtin_channel_settings(), std::move(cache_root->path),
                                    std::move(cache_root->trusted));
  if (!client) return Failure{std::string(client.error().message())};

  const std::atomic<bool> never_cancelled{false};
  auto release = fetch_release(*client->http, client->settings, never_cancelled);
  if (!release) return Failure{std::string(release.error().message())};

  return format_report({{"available_version", release->version},
                        {"bootstrap_version", std::string(BOOTSTRAP_VERSION)},
                        {"installer_url", release->installer_url.href()},
                        {"installer_verified", false}});
}

}  // namespace nuvo
