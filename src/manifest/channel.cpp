#include "manifest/channel.h"

#include <vector>

#include "channel_config.h"
#include "http/header_number.h"
#include "http/request.h"
#include "manifest/manifest.h"
#include "manifest/semver.h"
#include "platform/clock.h"
#include "platform/paths.h"

namespace nuvo {
namespace {

std::string manifest_path(std::string_view repository) {
  return "/" + std::string(repository) + "/releases/latest/download/latest.json";
}

// One request of latest.json and the decision on what came back.
SetupResult<Release> attempt_fetch(HttpTransport& client, const ChannelSettings& settings,
                                   const Url& manifest_url, const std::atomic<bool>& cancel,
                                   const RuleObserver& observer) {
  auto response = send_request(client, settings.repository, manifest_url, std::nullopt, cancel);
  if (!response) return Failure{std::move(response).error()};
  if (response->status < 200 || response->status > 299)
    return fail(SetupErrorKind::DownloadFailed, "status " + std::to_string(response->status));

  if (const auto length = response->header("Content-Length")) {
    const auto announced = parse_http_number(*length);
    if (announced && *announced > kMaxManifestSize) return fail(SetupErrorKind::ManifestUnavailable);
  }

  // Never hold more than one byte past the limit.
  std::vector<std::uint8_t> body(kMaxManifestSize + 1);
  std::size_t used = 0;
  while (used < body.size()) {
    if (cancel.load()) return fail(SetupErrorKind::DownloadCancelled);
    auto got = response->body->read(std::span(body).subspan(used));
    if (!got) return fail(SetupErrorKind::DownloadFailed, std::move(got).error());
    if (*got == 0) break;
    used += *got;
  }
  response->body.reset();
  if (cancel.load()) return fail(SetupErrorKind::DownloadCancelled);

  return release_from_manifest(std::string_view(reinterpret_cast<const char*>(body.data()), used),
                               settings, observer);
}

// Tells the observer how a rule ended and passes the outcome on.
template <class T>
SetupResult<T> observed(const RuleObserver& observer, ManifestRule rule, SetupResult<T> outcome) {
  if (observer) observer(rule, outcome ? nullptr : &outcome.error());
  return outcome;
}

}  // namespace

ChannelSettings builtin_channel_settings() {
  return ChannelSettings{
      "https://" + std::string(config::kReleaseHost) + manifest_path(kRepository),
      std::string(config::kPublicKey),
      std::string(kRepository),
  };
}

bool check_channel(const ChannelSettings& settings, std::string_view cache_dir) {
  if (settings.repository != kRepository) return false;
  const auto url = parse_url(settings.manifest_url);
  const std::string expected = manifest_path(settings.repository);
  if (!url || !validate_release_url(*url, expected) || url->path != expected) return false;
  if (!parse_public_key(settings.public_key)) return false;
  return is_absolute_cache_path(cache_dir) && is_acceptable_cache_dir(cache_dir);
}

SetupResult<ChannelClient> make_channel_client(ChannelSettings settings, std::string cache_dir,
                                               std::string cache_trusted) {
  if (!check_channel(settings, cache_dir)) return fail(SetupErrorKind::ChannelMisconfigured);
  auto http = build_http_client();
  if (!http) return Failure{std::move(http).error()};
  return ChannelClient{std::move(settings), std::move(cache_dir), std::move(http).value(),
                       std::move(cache_trusted)};
}

std::string_view manifest_rule_name(ManifestRule rule) {
  switch (rule) {
    case ManifestRule::Size:
      return "manifest size";
    case ManifestRule::Decoding:
      return "manifest format";
    case ManifestRule::Version:
      return "version";
    case ManifestRule::VersionFloor:
      return "version floor";
    case ManifestRule::Platform:
      return "platform";
    case ManifestRule::InstallerUrl:
      return "installer URL";
    case ManifestRule::Signature:
      return "signature";
  }
  return "?";
}

SetupResult<void> check_release_version(std::string_view text) {
  const auto version = SemanticVersion::parse(text);
  if (!version || !version->pre_release.empty() || !version->build.empty() ||
      version->text() != text)
    return fail(SetupErrorKind::ManifestUnavailable, "version");
  if (*version < *SemanticVersion::parse(MIN_CHANNEL_VERSION))
    return fail(SetupErrorKind::SignedVersionMismatch, "older than the channel allows");
  return {};
}

std::string installer_path_prefix(std::string_view repository, std::string_view version) {
  return "/" + std::string(repository) + "/releases/download/v" + std::string(version) + "/";
}

std::string installer_file_name(std::string_view version) {
  return "Nuvo_" + std::string(version) + "_x64-setup.exe";
}

SetupResult<Url> check_installer_url(std::string_view text, std::string_view repository,
                                     std::string_view version) {
  auto url = parse_url(text);
  const std::string prefix = installer_path_prefix(repository, version);
  if (!url || !validate_release_url(*url, prefix) ||
      url->path.substr(prefix.size()) != installer_file_name(version))
    return fail(SetupErrorKind::InvalidDownloadUrl);
  return std::move(*url);
}

SetupResult<Release> release_from_manifest(std::string_view body, const ChannelSettings& settings,
                                           const RuleObserver& observer) {
  const auto unavailable = [](const char* what) -> SetupResult<void> {
    return fail(SetupErrorKind::ManifestUnavailable, what);
  };
  const bool size_ok = !body.empty() && body.size() <= kMaxManifestSize;
  if (auto r = observed(observer, ManifestRule::Size,
                        size_ok ? SetupResult<void>() : unavailable("size"));
      !r)
    return Failure{r.error()};

  auto manifest = decode_manifest(body);
  if (auto r = observed(observer, ManifestRule::Decoding,
                        manifest ? SetupResult<void>() : unavailable("not a manifest"));
      !r)
    return Failure{r.error()};

  // The version floor is its own rule for the observer, with its own kind.
  auto version = check_release_version(manifest->version);
  const bool below_floor =
      !version && version.error().kind == SetupErrorKind::SignedVersionMismatch;
  if (auto r =
          observed(observer, ManifestRule::Version, below_floor ? SetupResult<void>() : version);
      !r)
    return Failure{r.error()};
  if (auto r = observed(observer, ManifestRule::VersionFloor, std::move(version)); !r)
    return Failure{r.error()};

  const bool one_platform =
      manifest->platforms.size() == 1 && manifest->platforms.contains(std::string(kPlatformKey));
  if (auto r = observed(observer, ManifestRule::Platform,
                        one_platform ? SetupResult<void>() : unavailable("platforms"));
      !r)
    return Failure{r.error()};
  const Platform& platform = manifest->platforms.at(std::string(kPlatformKey));

  auto url = observed(observer, ManifestRule::InstallerUrl,
                      check_installer_url(platform.url, settings.repository, manifest->version));
  if (!url) return Failure{std::move(url).error()};

  auto signature =
      observed(observer, ManifestRule::Signature,
               prepare_signature(platform.signature, settings.public_key, manifest->version));
  if (!signature) return Failure{std::move(signature).error()};

  return Release{manifest->version, std::move(url).value(), std::move(signature).value(),
                 platform.signature};
}

SetupResult<Release> fetch_release(HttpTransport& client, const ChannelSettings& settings,
                                   const std::atomic<bool>& cancel, const RuleObserver& observer) {
  const auto manifest_url = parse_url(settings.manifest_url);
  if (!manifest_url) return fail(SetupErrorKind::ChannelMisconfigured);
  for (int attempt = 1;; ++attempt) {
    auto release = attempt_fetch(client, settings, *manifest_url, cancel, observer);
    if (release || release.error().kind != SetupErrorKind::DownloadFailed ||
        attempt == kManifestAttempts)
      return release;
    if (auto waited = wait_before_retry(cancel, attempt); !waited) return Failure{waited.error()};
  }
}

SetupResult<void> wait_before_retry(const std::atomic<bool>& cancel, int attempt) {
  for (int slice = 0; slice < attempt * 10; ++slice) {
    if (cancel.load()) return fail(SetupErrorKind::DownloadCancelled);
    sleep_ms(50);
  }
  return {};
}

}  // namespace nuvo
