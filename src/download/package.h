// The package run: from the channel's announcement to a verified installer
// in the cache, held open and locked for the caller.
#pragma once

#include <atomic>
#include <string>

#include "common/setup_error.h"
#include "download/download_loop.h"
#include "download/progress.h"
#include "download/release_dir.h"
#include "manifest/channel.h"
#include "platform/cache_fs.h"

namespace nuvo {

// While it lives, the cache stays locked and NuvoInstaller.exe cannot be
// changed, replaced or deleted. Members go in reverse order: the lock is
// released first, then the installer and the release directory are closed.
struct VerifiedPackage {
  std::string installer_path;
  std::string version;
  CacheDirectory release_dir;
  CacheFile installer;
  CacheLock lock;
};

struct PackageOptions {
  std::chrono::seconds download_deadline = kDownloadDeadline;
  CacheFs* fs = &os_cache_fs();
  RuleObserver manifest_rules;  // hears the manifest's rules (fetch_release)
};

SetupResult<VerifiedPackage> prepare_package(ChannelClient& client, const std::atomic<bool>& cancel,
                                             const ProgressSink& progress,
                                             const PackageOptions& options = {});

}  // namespace nuvo
