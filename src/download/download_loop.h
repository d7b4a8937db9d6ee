// Fills installer.part with the installer's bytes, resuming across breaks and
// across runs, within fixed retry limits and an overall deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string_view>

#include "common/setup_error.h"
#include "download/progress.h"
#include "download/release_dir.h"
#include "http/transport.h"
#include "platform/cache_fs.h"
#include "url/url.h"

namespace nuvo {

inline constexpr std::chrono::seconds kDownloadDeadline{1800};
inline constexpr unsigned kDownloadRetries = 2;
inline constexpr std::size_t kDownloadBufferSize = 65536;

struct DownloadJob {
  HttpTransport& client;
  std::string_view repository;
  const Url& url;
  const ReleasePaths& paths;
  std::string_view version;
  const std::atomic<bool>& cancel;
  const ProgressSink& progress;
  // How long the whole download may take; the transport is held to it too.
  std::chrono::seconds deadline = kDownloadDeadline;
  // Time since the loop began; the steady clock unless a test says otherwise.
  std::function<std::chrono::steady_clock::duration()> elapsed = {};
  // When set, the body that completes the file is not flushed here: its file
  // comes back open in *unflushed_part, and the caller must flush it before
  // the part is moved (so the flush can overlap the first verification).
  CacheFile* unflushed_part = nullptr;
};

// Returns once installer.part holds the complete package.
SetupResult<void> download_installer(const DownloadJob& job);

}  // namespace nuvo
