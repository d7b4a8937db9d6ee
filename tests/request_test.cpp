#include "http/request.h"

#include <gtest/gtest.h>

#include "channel_config.h"
#include "fake_transport.h"

namespace nuvo {
namespace {

using test::FakeTransport;
using test::ScriptedAnswer;

const std::string kRelease(config::kReleaseHost);
const std::string kAsset(config::kAssetHosts[0]);
const std::string kRepo = "graycrane42/nuvo";

Url url(const std::string& text) {
  auto u = parse_url(text);
  EXPECT_TRUE(u) << text;
  return u.value_or(Url{});
}

TEST(RequestPolicy, ValidateReleaseUrl) {
  const std::string prefix = "/graycrane42/nuvo/releases/download/v1.4.2/";
  const std::string base = "https://" + kRelease + prefix;
  const struct {
    std::string url;
    bool accepted;
  } cases[] = {
      {base + "Nuvo_1.4.2_x64-setup.exe", true},
      {"https://" + kRelease + ":443" + prefix + "x", true},  // default port is dropped
      {"HTTPS://" + kRelease + prefix + "x", true},
      {"https://" + kRelease + prefix, true},
      {"https://" + kRelease + ":8443" + prefix + "x", false},
      {"http://" + kRelease + prefix + "x", false},
      {"https://user@" + kRelease + prefix + "x", false},
      {"https://:pw@" + kRelease + prefix + "x", false},
      {base + "x?", false},
      {base + "x?a=1", false},
      {base + "x#", false},
      {base + "x#f", false},
      {base + "%2E%2E/x", false},
      {base + "a%20b", false},
      {"https://" + kRelease + "/graycrane42/nuvo/releases/download/v1.4.2", false},
      {"https://" + kRelease + "/graycrane42/nuvo/releases/download/v1.4.3/x", false},
      {"https://" + kAsset + prefix + "x", false},
      {"https://sub." + kRelease + prefix + "x", false},
  };
  for (const auto& c : cases) EXPECT_EQ(validate_release_url(url(c.url), prefix), c.accepted) << c.url;
}

TEST(RequestPolicy, AllowedRedirects) {
  const std::string releases = "https://" + kRelease + "/graycrane42/nuvo/releases/";
  const struct {
    std::string url;
    bool accepted;
  } cases[] = {
      {"https://" + kAsset + "/anything?x-amz-signature=abc&y=%2F", true},
      {"https://" + kAsset + ":443/x", true},
      {releases + "download/v1/x", true},
      {"http://" + kAsset + "/x", false},
      {"https://" + kAsset + ":444/x", false},
      {"https://u:p@" + kAsset + "/x", false},
      {"https://" + kAsset + "/x#frag", false},
      {"https://evil.example/x", false},
      {"https://" + kRelease + "/graycrane42/other/releases/x", false},
      {"https://" + kRelease + "/graycrane42/nuvo/releasesx", false},
      {releases + "x?q=1", false},
      {releases + "%2e%2e/x", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_allowed_redirect(url(c.url), kRepo), c.accepted) << c.url;
  for (const auto& host : config::kAssetHosts)
    EXPECT_TRUE(is_allowed_redirect(url("https://" + std::string(host) + "/x"), kRepo)) << host;
}

TEST(RequestPolicy, RangeValues) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {1, "bytes=1-8388608"},
      {1048576, "bytes=1048576-9437183"},
      {536870910, "bytes=536870910-536870911"},
      {536870911, "bytes=536870911-536870911"},
      {536870912, "bytes=536870912-"},
  };
  for (const auto& [start, value] : cases) EXPECT_EQ(range_header_value(start), value) << start;
}

std::string header_text(const std::vector<HttpHeader>& headers) {
  std::string out;
  for (const auto& h : headers) out += h.name + ": " + h.value + "\n";
  return out;
}

TEST(SendRequest, HeadersSent) {
  const Url target = url("https://" + kRelease + "/graycrane42/nuvo/releases/x");
  const struct {
    std::optional<RangeRequest> range;
    std::string headers;  // empty: nothing may be sent
  } cases[] = {
      {std::nullopt, "Accept-Encoding: identity\n"},
      {RangeRequest{0, "\"etag\""}, "Accept-Encoding: identity\n"},
      {RangeRequest{0, std::nullopt}, "Accept-Encoding: identity\n"},
      {RangeRequest{1048576, "\"abc\""},
       "Accept-Encoding: identity\nRange: bytes=1048576-9437183\nIf-Range: \"abc\"\n"},
      {RangeRequest{536870912, "Wed, 21 Oct 2015 07:28:00 GMT"},
       "Accept-Encoding: identity\nRange: bytes=536870912-\nIf-Range: Wed, 21 Oct 2015 07:28:00 GMT\n"},
      {RangeRequest{5, std::nullopt}, ""},
      {RangeRequest{5, "bad\r\nX-Injected: 1"}, ""},
  };
  for (const auto& c : cases) {
    FakeTransport fake;
    fake.answers.push_back({});
    const std::atomic<bool> cancel{false};
    auto r = send_request(fake, kRepo, target, c.range, cancel);
    if (c.headers.empty()) {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind, SetupErrorKind::DownloadFailed);
      EXPECT_TRUE(fake.requests.empty());
    } else {
      ASSERT_TRUE(r);
      ASSERT_EQ(fake.requests.size(), 1u);
      EXPECT_EQ(header_text(fake.requests[0].headers), c.headers);
    }
  }
}

ScriptedAnswer redirect(const std::string& location) {
  return ScriptedAnswer{302, {{"Location", location}}, "", "", "", nullptr, nullptr};
}

TEST(SendRequest, Redirects) {
  const std::string start = "https://" + kRelease + "/graycrane42/nuvo/releases/latest/x";
  const std::string asset = "https://" + kAsset + "/blob?sig=1";
  const auto ok = ScriptedAnswer{200, {}, "body", "", "", nullptr, nullptr};
  const auto kind = [](const SetupResult<HttpResponse>& r) {
    return r ? std::nullopt : std::optional(r.error().kind);
  };
  const struct {
    const char* name;
    std::vector<ScriptedAnswer> answers;
    std::optional<SetupErrorKind> expected;
    std::size_t requests;
    std::string last_url;
  } cases[] = {
      {"no redirect", {ok}, std::nullopt, 1, start},
      {"to an asset host", {redirect(asset), ok}, std::nullopt, 2, asset},
      {"relative location", {redirect("../download/v1/y"), ok}, std::nullopt, 2,
       "https://" + kRelease + "/graycrane42/nuvo/releases/download/v1/y"},
      {"five hops", {redirect(asset), redirect(asset), redirect(asset), redirect(asset),
                     redirect(asset), ok},
       std::nullopt, 6, asset},
      {"six hops", {redirect(asset)}, SetupErrorKind::DownloadFailed, 6, asset},
      {"no location", {ScriptedAnswer{301, {}, "", "", "", nullptr, nullptr}},
       SetupErrorKind::InvalidDownloadUrl, 1, start},
      {"to http", {redirect("http://" + kAsset + "/x")}, SetupErrorKind::InvalidDownloadUrl, 1, start},
      {"to a third host", {redirect("https://evil.example/x")}, SetupErrorKind::InvalidDownloadUrl,
       1, start},
      {"with a user name", {redirect("https://u@" + kAsset + "/x")},
       SetupErrorKind::InvalidDownloadUrl, 1, start},
      {"outside the releases", {redirect("/graycrane42/nuvo/issues")},
       SetupErrorKind::InvalidDownloadUrl, 1, start},
      {"percent on the release host", {redirect("/graycrane42/nuvo/releases/%2e%2e/x")},
       SetupErrorKind::InvalidDownloadUrl, 1, start},
      {"query on the release host", {redirect("/graycrane42/nuvo/releases/x?y=1")},
       SetupErrorKind::InvalidDownloadUrl, 1, start},
      {"byte above 0x7E", {redirect("https://" + kAsset + "/\xC3\xA9")},
       SetupErrorKind::InvalidDownloadUrl, 1, start},
      {"control character", {redirect("https://" + kAsset + "/\x01")},
       SetupErrorKind::InvalidDownloadUrl, 1, start},
      {"unresolvable", {redirect("https://[::1/x")}, SetupErrorKind::InvalidDownloadUrl, 1, start},
      {"404 is the caller's", {ScriptedAnswer{404, {}, "", "", "", nullptr, nullptr}}, std::nullopt, 1, start},
      {"304 is the caller's", {ScriptedAnswer{304, {}, "", "", "", nullptr, nullptr}}, std::nullopt, 1, start},
      {"transport failure", {ScriptedAnswer{0, {}, "", "tls handshake failed", "", nullptr, nullptr}},
       SetupErrorKind::DownloadFailed, 1, start},
  };
  for (const auto& c : cases) {
    FakeTransport fake;
    fake.answers.assign(c.answers.begin(), c.answers.end());
    const std::atomic<bool> cancel{false};
    auto r = send_request(fake, kRepo, url(start), RangeRequest{10, "\"v\""}, cancel);
    EXPECT_EQ(kind(r), c.expected) << c.name;
    ASSERT_EQ(fake.requests.size(), c.requests) << c.name;
    EXPECT_EQ(fake.requests.back().url, c.last_url) << c.name;
    // Every hop carries the same range and validator.
    for (const auto& req : fake.requests)
      EXPECT_EQ(header_text(req.headers),
                "Accept-Encoding: identity\nRange: bytes=10-8388617\nIf-Range: \"v\"\n")
          << c.name;
  }
}

TEST(SendRequest, CancelBeforeAndAfterTheWait) {
  const Url target = url("https://" + kRelease + "/graycrane42/nuvo/releases/x");
  {
    FakeTransport fake;
    fake.answers.push_back({});
    const std::atomic<bool> cancel{true};
    auto r = send_request(fake, kRepo, target, std::nullopt, cancel);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, SetupErrorKind::DownloadCancelled);
    EXPECT_TRUE(fake.requests.empty());
  }
  for (const bool send_fails : {false, true}) {
    FakeTransport fake;
    std::atomic<bool> cancel{false};
    ScriptedAnswer a;
    a.error = send_fails ? "timed out" : "";
    a.on_send = [&] { cancel = true; };
    fake.answers.push_back(a);
    auto r = send_request(fake, kRepo, target, std::nullopt, cancel);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, SetupErrorKind::DownloadCancelled) << send_fails;
  }
}

}  // namespace
}  // namespace nuvo
