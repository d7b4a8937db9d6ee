// The release channel: its built-in settings, their check, and the fetch of
// the newest release with every rule a manifest must pass.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "common/setup_error.h"
#include "http/transport.h"
#include "signature/signature.h"
#include "url/url.h"

namespace nuvo {

inline constexpr std::string_view MIN_CHANNEL_VERSION = "0.6.12";
inline constexpr std::string_view kRepository = "graycrane42/nuvo";
inline constexpr std::string_view kPlatformKey = "windows-x86_64";
inline constexpr int kManifestAttempts = 3;

struct ChannelSettings {
  std::string manifest_url;
  std::string public_key;
  std::string repository;
};

// The settings this build was configured with.
ChannelSettings builtin_channel_settings();

// Everything a run needs to talk to the channel.
struct ChannelClient {
  ChannelSettings settings;
  std::string cache_dir;
  std::unique_ptr<HttpTransport> http;
};

// Tests the settings and the cache directory before any network use.
bool check_channel(const ChannelSettings& settings, std::string_view cache_dir);

// check_channel, then the HTTP client; ChannelMisconfigured if either fails.
SetupResult<ChannelClient> make_channel_client(ChannelSettings settings, std::string cache_dir);

struct Release {
  std::string version;
  Url installer_url;
  PreparedSignature signature;
  std::string signature_text;
};

// Decides one manifest body: the rules on version, platforms, installer URL
// and signature.
SetupResult<Release> release_from_manifest(std::string_view body, const ChannelSettings& settings);

// Fetches and checks latest.json, with up to three attempts for transport
// failures and a pause between them.
SetupResult<Release> fetch_release(HttpTransport& client, const ChannelSettings& settings,
                                   const std::atomic<bool>& cancel);

// attempt × 500 ms in 50 ms slices, watching the cancel flag.
SetupResult<void> wait_before_retry(const std::atomic<bool>& cancel, int attempt);

}  // namespace nuvo
