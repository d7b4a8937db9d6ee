// The one request operation of the program: a GET that follows redirects by
// our own rule, within the publisher's release area only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/limits.h"
#include "common/setup_error.h"
#include "http/transport.h"
#include "url/url.h"

namespace nuvo {

inline constexpr int MAX_REDIRECTS = 5;
inline constexpr std::uint64_t kRangeSpan = 8ull * 1024 * 1024;

struct RangeRequest {
  std::uint64_t start = 0;
  std::optional<std::string> validator;  // an ETag or Last-Modified value
};

// The platform's client with the fixed settings; ChannelMisconfigured if it
// cannot be built.
SetupResult<std::unique_ptr<HttpTransport>> build_http_client();

// Accepts an https URL on the release host, without port, credentials, query
// or fragment, whose path begins with `prefix` and holds no '%'.
bool validate_release_url(const Url& url, std::string_view prefix);

// Where a redirect may lead: anywhere on a release-asset host, or the
// repository's releases on the release host.
bool is_allowed_redirect(const Url& target, std::string_view repository);

// "bytes=<start>-<end>", at most kRangeSpan bytes, never past the size limit.
std::string range_header_value(std::uint64_t start);

// Returns the first response that is not a redirect (any other status is the
// caller's to judge), or DownloadCancelled, InvalidDownloadUrl, DownloadFailed.
// The cancel flag and the deadline also end a wait of the transport at once,
// the reads of the returned body included.
SetupResult<HttpResponse> send_request(
    HttpTransport& client, std::string_view repository, const Url& url,
    const std::optional<RangeRequest>& range, const std::atomic<bool>& cancel,
    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

}  // namespace nuvo
