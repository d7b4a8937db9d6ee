#include "http/request.h"

#include <algorithm>

#include "channel_config.h"

namespace nuvo {
namespace {

// What an HTTP field value may hold: visible ASCII, blanks and tabs, and
// bytes above 0x7F; never a control character.
bool is_valid_header_value(std::string_view v) {
  return std::all_of(v.begin(), v.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c == '\t' || (c >= 0x20 && c != 0x7F);
  });
}

bool is_visible_ascii_or_tab(std::string_view v) {
  return std::all_of(v.begin(), v.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c == '\t' || (c >= 0x20 && c <= 0x7E);
  });
}

bool is_asset_host(std::string_view host) {
  return std::any_of(config::kAssetHosts.begin(), config::kAssetHosts.end(),
                     [&](std::string_view h) { return h == host; });
}

}  // namespace

SetupResult<std::unique_ptr<HttpTransport>> build_http_client() {
  auto client = make_http_transport();
  if (!client) return fail(SetupErrorKind::ChannelMisconfigured, client.error());
  return std::move(client).value();
}

bool validate_release_url(const Url& url, std::string_view prefix) {
  return url.scheme == "https" && url.host == config::kReleaseHost && !url.port &&
         url.username.empty() && url.password.empty() && !url.query && !url.fragment &&
         url.path.starts_with(prefix) && url.path.find('%') == std::string::npos;
}

bool is_allowed_redirect(const Url& target, std::string_view repository) {
  if (target.scheme != "https" || target.port || !target.username.empty() ||
      !target.password.empty() || target.fragment || !target.host)
    return false;
  if (is_asset_host(*target.host)) return true;
  if (*target.host == config::kReleaseHost)
    return validate_release_url(target, "/" + std::string(repository) + "/releases/");
  return false;
}

std::string range_header_value(std::uint64_t start) {
  if (start >= kMaxPackageSize) return "bytes=" + std::to_string(start) + "-";
  const std::uint64_t end = std::min(start + kRangeSpan - 1, kMaxPackageSize - 1);
  return "bytes=" + std::to_string(start) + "-" + std::to_string(end);
}

SetupResult<HttpResponse> send_request(
    HttpTransport& client, std::string_view repository, const Url& url,
    const std::optional<RangeRequest>& range, const std::atomic<bool>& cancel,
    std::optional<std::chrono::steady_clock::time_point> deadline) {
  const RequestStop stop{&cancel, deadline};
  std::vector<HttpHeader> headers = {{"Accept-Encoding", "identity"}};
  if (range && range->start > 0) {
    // Never ask for a piece of a file without proof that it is the same file.
    if (!range->validator) return fail(SetupErrorKind::DownloadFailed, "range without validator");
    if (!is_valid_header_value(*range->validator))
      return fail(SetupErrorKind::DownloadFailed, "validator is not a header value");
    headers.push_back({"Range", range_header_value(range->start)});
    headers.push_back({"If-Range", *range->validator});
  }

  Url current = url;
  for (int hops = 0;; ++hops) {
    if (cancel.load()) return fail(SetupErrorKind::DownloadCancelled);
    auto response = client.get(current.href(), headers, stop);
    if (cancel.load()) return fail(SetupErrorKind::DownloadCancelled);
    if (!response) return fail(SetupErrorKind::DownloadFailed, std::move(response).error());
    // 304 Not Modified is an answer, not a redirect: it never carries a Location.
    if (response->status < 300 || response->status > 399 || response->status == 304)
      return std::move(response).value();

    const auto location = response->header("Location");
    if (!location || !is_visible_ascii_or_tab(*location))
      return fail(SetupErrorKind::InvalidDownloadUrl, "bad Location");
    auto target = parse_url(*location, &current);
    if (!target || !is_allowed_redirect(*target, repository))
      return fail(SetupErrorKind::InvalidDownloadUrl, "redirect refused");
    if (hops == MAX_REDIRECTS) return fail(SetupErrorKind::DownloadFailed, "too many redirects");
    current = std::move(*target);
  }
}

}  // namespace nuvo
