// The release channel: its built-in settings, their check, and the fetch of
// the newest release with every rule a manifest must pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
  // The folder above cache_dir that the careful walk trusts (cache_walk);
  // empty for a cache directory the user named.
  std::string cache_trusted;
};

// Tests the settings and the cache directory before any network use.
bool check_channel(const ChannelSettings& settings, std::string_view cache_dir);

// check_channel, then the HTTP client; ChannelMisconfigured if either fails.
SetupResult<ChannelClient> make_channel_client(ChannelSettings settings, std::string cache_dir,
                                               std::string cache_trusted = {});

struct Release {
  std::string version;
  Url installer_url;
  PreparedSignature signature;
  std::string signature_text;
};

// The rules a manifest body must pass, in the order they are applied.
enum class ManifestRule : std::uint8_t {
  Size,          // 1 to 65,536 bytes
  Decoding,      // JSON of the manifest's shape, no member twice
  Version,       // canonical MAJOR.MINOR.PATCH, nothing else
  VersionFloor,  // not below MIN_CHANNEL_VERSION
  Platform,      // exactly one entry, "windows-x86_64"
  InstallerUrl,  // the one URL the release area allows for this version
  Signature,     // parses, and its trusted comment names the version
};

std::string_view manifest_rule_name(ManifestRule rule);

// Told the outcome of every rule applied: null for a pass. A failure is the
// last call.
using RuleObserver = std::function<void(ManifestRule, const SetupError*)>;

// The version rules alone: ManifestUnavailable, or SignedVersionMismatch for a
// version below the floor.
SetupResult<void> check_release_version(std::string_view version);

// "/" + repository + "/releases/download/v" + version + "/".
std::string installer_path_prefix(std::string_view repository, std::string_view version);

// "Nuvo_" + version + "_x64-setup.exe", the only installer name a release has.
std::string installer_file_name(std::string_view version);

// The installer URL rule: the parsed URL, or InvalidDownloadUrl.
SetupResult<Url> check_installer_url(std::string_view url, std::string_view repository,
                                     std::string_view version);

// Decides one manifest body by every rule above, in order.
SetupResult<Release> release_from_manifest(std::string_view body, const ChannelSettings& settings,
                                           const RuleObserver& observer = {});

// Fetches and checks latest.json, with up to three attempts for transport
// failures and a pause between them. The observer hears the rules of the
// attempt that decides.
SetupResult<Release> fetch_release(HttpTransport& client, const ChannelSettings& settings,
                                   const std::atomic<bool>& cancel,
                                   const RuleObserver& observer = {});

// attempt × 500 ms in 50 ms slices, watching the cancel flag.
SetupResult<void> wait_before_retry(const std::atomic<bool>& cancel, int attempt);

}  // namespace nuvo
