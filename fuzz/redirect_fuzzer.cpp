// Redirects are the server's way to send a request elsewhere: whatever chain
// of Location values it answers with, send_request may only ever fetch inside
// the release area, at most MAX_REDIRECTS hops deep, with the same headers.
//
// Input: one Location value per line, answered in turn with 3xx; a request
// beyond the last line gets a 200.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "channel_config.h"
#include "http/request.h"
#include "url/url.h"

namespace {

constexpr std::string_view kRepository = "graycrane42/nuvo";
constexpr int kRedirectStatuses[] = {301, 302, 303, 307, 308};

class ScriptedServer : public nuvo::HttpTransport {
 public:
  explicit ScriptedServer(std::vector<std::string_view> locations)
      : locations_(std::move(locations)) {}

  nuvo::Result<nuvo::HttpResponse, std::string> get(std::string_view url,
                                                    const std::vector<nuvo::HttpHeader>& headers,
                                                    const nuvo::RequestStop&) override {
    const std::size_t n = urls.size();
    urls.emplace_back(url);
    sent_headers.push_back(headers);
    nuvo::HttpResponse response;
    if (n < locations_.size()) {
      response.status = kRedirectStatuses[n % std::size(kRedirectStatuses)];
      response.headers.push_back({"Location", std::string(locations_[n])});
    } else {
      response.status = 200;
    }
    return response;
  }

  std::vector<std::string> urls;
  std::vector<std::vector<nuvo::HttpHeader>> sent_headers;

 private:
  std::vector<std::string_view> locations_;
};

// The redirect rule read independently of is_allowed_redirect.
bool in_release_area(const nuvo::Url& u) {
  if (u.scheme != "https" || u.port || !u.username.empty() || !u.password.empty() || u.fragment ||
      !u.host)
    return false;
  if (std::find(nuvo::config::kAssetHosts.begin(), nuvo::config::kAssetHosts.end(), *u.host) !=
      nuvo::config::kAssetHosts.end())
    return true;
  return *u.host == nuvo::config::kReleaseHost && !u.query &&
         u.path.starts_with("/graycrane42/nuvo/releases/") && u.path.find('%') == std::string::npos;
}

bool same(const std::vector<nuvo::HttpHeader>& a, const std::vector<nuvo::HttpHeader>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.name == y.name && x.value == y.value;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> locations;
  while (!rest.empty() && locations.size() <= nuvo::MAX_REDIRECTS + 1) {
    const std::size_t lf = rest.find('\n');
    locations.push_back(rest.substr(0, lf));
    rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
  }
  static const auto start =
      nuvo::parse_url("https://" + std::string(nuvo::config::kReleaseHost) +
                      "/graycrane42/nuvo/releases/download/v1.4.2/NuvoInstaller.exe");
  static const std::atomic<bool> cancel{false};
  ScriptedServer server(locations);
  const nuvo::RangeRequest range{1048576, "\"etag\""};
  const auto result = nuvo::send_request(server, kRepository, *start, range, cancel);

  const std::size_t sent = server.urls.size();
  if (sent < 1 || sent > nuvo::MAX_REDIRECTS + 1) std::abort();
  for (std::size_t i = 1; i < sent; ++i) {
    const auto url = nuvo::parse_url(server.urls[i]);
    if (!url || !in_release_area(*url) || !same(server.sent_headers[i], server.sent_headers[0]))
      std::abort();
  }
  if (result) {
    if (result->status != 200 || sent != locations.size() + 1) std::abort();
  } else if (result.error().kind == nuvo::SetupErrorKind::DownloadFailed) {
    if (sent != nuvo::MAX_REDIRECTS + 1) std::abort();
  } else if (result.error().kind != nuvo::SetupErrorKind::InvalidDownloadUrl ||
             sent > locations.size()) {
    std::abort();
  }
  return 0;
}
