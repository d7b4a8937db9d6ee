#include "manifest/channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "channel_config.h"
#include "fake_transport.h"
#include "platform/paths.h"
#include "test_support.h"

namespace nuvo {
namespace {

using test::FakeTransport;
using test::ScriptedAnswer;

const std::string kRelease(config::kReleaseHost);

ChannelSettings test_settings() {
  ChannelSettings s = builtin_channel_settings();
  s.public_key = test::fixture_base64("dev.pub");
  return s;
}

std::string installer_url(const std::string& version) {
  return "https://" + kRelease + "/graycrane42/nuvo/releases/download/v" + version + "/Nuvo_" +
         version + "_x64-setup.exe";
}

std::string manifest(const std::string& version, const std::string& url,
                     const std::string& signature, const std::string& extra_platform = "") {
  return R"({"version":")" + version + R"(","platforms":{"windows-x86_64":{"url":")" + url +
         R"(","signature":")" + signature + "\"}" + extra_platform + "}}";
}

std::optional<SetupErrorKind> kind_of(const SetupResult<Release>& r) {
  return r ? std::nullopt : std::optional(r.error().kind);
}

TEST(Channel, ManifestRules) {
  const std::string sig = test::fixture_base64("package.minisig");  // version:1.4.2
  const std::string good_url = installer_url("1.4.2");
  const std::string dir = "https://" + kRelease + "/graycrane42/nuvo/releases/download/v1.4.2/";
  using K = SetupErrorKind;
  const struct {
    const char* name;
    std::string body;
    std::optional<SetupErrorKind> expected;
  } cases[] = {
      {"good", manifest("1.4.2", good_url, sig), std::nullopt},
      {"explicit port 443",
       manifest("1.4.2", "https://" + kRelease + ":443/graycrane42/nuvo/releases/download/v1.4.2/Nuvo_1.4.2_x64-setup.exe", sig),
       std::nullopt},
      {"extra members",
       R"({"notes":"x","version":"1.4.2","platforms":{"windows-x86_64":{"pub_date":1,"url":")" +
           good_url + R"(","signature":")" + sig + "\"}}}",
       std::nullopt},
      {"leading v", manifest("v1.4.2", good_url, sig), K::ManifestUnavailable},
      {"two parts", manifest("1.4", good_url, sig), K::ManifestUnavailable},
      {"leading zero", manifest("01.4.2", good_url, sig), K::ManifestUnavailable},
      {"pre-release", manifest("1.4.2-beta.1", good_url, sig), K::ManifestUnavailable},
      {"build metadata", manifest("1.4.2+build.5", good_url, sig), K::ManifestUnavailable},
      {"leading blank", manifest(" 1.4.2", good_url, sig), K::ManifestUnavailable},
      {"older than the channel allows", manifest("0.6.11", installer_url("0.6.11"), sig),
       K::SignedVersionMismatch},
      {"oldest allowed, signed for another", manifest("0.6.12", installer_url("0.6.12"), sig),
       K::SignedVersionMismatch},
      {"second platform", manifest("1.4.2", good_url, sig, R"(,"linux-x86_64":{"url":"u","signature":"s"})"),
       K::ManifestUnavailable},
      {"other platform only",
       R"({"version":"1.4.2","platforms":{"linux-x86_64":{"url":")" + good_url +
           R"(","signature":")" + sig + "\"}}}",
       K::ManifestUnavailable},
      {"no platforms", R"({"version":"1.4.2","platforms":{}})", K::ManifestUnavailable},
      {"other version in the path", manifest("1.4.2", installer_url("1.4.3"), sig),
       K::InvalidDownloadUrl},
      {"file name in lower case", manifest("1.4.2", dir + "nuvo_1.4.2_x64-setup.exe", sig),
       K::InvalidDownloadUrl},
      {"another file", manifest("1.4.2", dir + "Nuvo_1.4.2_x64-setup.msi", sig),
       K::InvalidDownloadUrl},
      {"extra segment", manifest("1.4.2", dir + "x/Nuvo_1.4.2_x64-setup.exe", sig),
       K::InvalidDownloadUrl},
      {"query", manifest("1.4.2", good_url + "?x=1", sig), K::InvalidDownloadUrl},
      {"port 8443",
       manifest("1.4.2", "https://" + kRelease + ":8443/graycrane42/nuvo/releases/download/v1.4.2/Nuvo_1.4.2_x64-setup.exe", sig),
       K::InvalidDownloadUrl},
      {"http", manifest("1.4.2", "http" + good_url.substr(5), sig), K::InvalidDownloadUrl},
      {"percent in the path", manifest("1.4.2", dir + "Nuvo_1.4.2_x64-setup%2Eexe", sig),
       K::InvalidDownloadUrl},
      {"relative url", manifest("1.4.2", "/graycrane42/nuvo/releases/download/v1.4.2/Nuvo_1.4.2_x64-setup.exe", sig),
       K::InvalidDownloadUrl},
      {"signature for another version", manifest("1.4.3", installer_url("1.4.3"), sig),
       K::SignedVersionMismatch},
      {"signature garbage", manifest("1.4.2", good_url, "bm90IGEgc2lnbmF0dXJl"),
       K::SignatureInvalid},
      {"trailing letter", manifest("1.4.2", good_url, sig) + "x", K::ManifestUnavailable},
      {"trailing line feeds", manifest("1.4.2", good_url, sig) + "\n\n", std::nullopt},
  };
  const ChannelSettings settings = test_settings();
  for (const auto& c : cases) {
    auto r = release_from_manifest(c.body, settings);
    EXPECT_EQ(kind_of(r), c.expected) << c.name;
    if (r) {
      EXPECT_EQ(r->version, "1.4.2");
      EXPECT_EQ(r->installer_url.href(), good_url);
      EXPECT_EQ(r->signature_text, sig);
      EXPECT_TRUE(r->signature.prehashed);
    }
  }
}

ScriptedAnswer answer(int status, std::string body, std::vector<HttpHeader> headers = {}) {
  return ScriptedAnswer{status, std::move(headers), std::move(body), "", "", nullptr, nullptr};
}

TEST(Channel, FetchAttemptsAndLimits) {
  const std::string sig = test::fixture_base64("package.minisig");
  const std::string good = manifest("1.4.2", installer_url("1.4.2"), sig);
  // Pads with blanks to an exact size.
  const auto sized = [&](std::size_t n) { return good + std::string(n - good.size(), ' '); };
  using K = SetupErrorKind;
  const struct {
    const char* name;
    std::vector<ScriptedAnswer> answers;
    std::optional<SetupErrorKind> expected;
    std::size_t requests;
    int pause_ms;  // the pauses between attempts, in all
  } cases[] = {
      {"first time", {answer(200, good)}, std::nullopt, 1, 0},
      {"503, 503, 200", {answer(503, ""), answer(503, ""), answer(200, good)}, std::nullopt, 3, 1500},
      {"404 always", {answer(404, "")}, K::DownloadFailed, 3, 1500},
      {"transport failure, then fine",
       {ScriptedAnswer{0, {}, "", "connection refused", "", nullptr, nullptr}, answer(200, good)},
       std::nullopt, 2, 500},
      {"body read fails", {ScriptedAnswer{200, {}, "{", "", "reset by peer", nullptr, nullptr}},
       K::DownloadFailed, 3, 1500},
      {"not retried: bad manifest", {answer(200, "{}")}, K::ManifestUnavailable, 1, 0},
      {"empty 200", {answer(200, "")}, K::ManifestUnavailable, 1, 0},
      {"exactly 65536 bytes", {answer(200, sized(65536))}, std::nullopt, 1, 0},
      {"65537 bytes", {answer(200, sized(65537))}, K::ManifestUnavailable, 1, 0},
      {"announced 65537", {answer(200, good, {{"Content-Length", "65537"}})},
       K::ManifestUnavailable, 1, 0},
      {"announced 65536", {answer(200, good, {{"content-length", "65536"}})}, std::nullopt, 1, 0},
  };
  for (const auto& c : cases) {
    FakeTransport fake;
    fake.answers.assign(c.answers.begin(), c.answers.end());
    const std::atomic<bool> cancel{false};
    const auto start = std::chrono::steady_clock::now();
    auto r = fetch_release(fake, test_settings(), cancel);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(kind_of(r), c.expected) << c.name;
    EXPECT_EQ(fake.requests.size(), c.requests) << c.name;
    EXPECT_GE(ms, c.pause_ms) << c.name;
    EXPECT_LT(ms, c.pause_ms + 400) << c.name;
    EXPECT_EQ(fake.requests[0].url, builtin_channel_settings().manifest_url) << c.name;
  }
}

TEST(Channel, CancelDuringThePause) {
  FakeTransport fake;
  std::atomic<bool> cancel{false};
  fake.answers.push_back(answer(503, ""));
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel = true;
  });
  const auto start = std::chrono::steady_clock::now();
  auto r = fetch_release(fake, test_settings(), cancel);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  canceller.join();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, SetupErrorKind::DownloadCancelled);
  EXPECT_EQ(fake.requests.size(), 1u);
  EXPECT_LT(ms, 200 + 50 + 100);  // noticed within one 50 ms slice
}

TEST(Channel, CheckChannel) {
  const ChannelSettings good = test_settings();
  auto with = [&](auto change) {
    ChannelSettings s = good;
    change(s);
    return s;
  };
  const std::string host = kRelease;
  const struct {
    const char* name;
    ChannelSettings settings;
    bool accepted;
  } cases[] = {
      {"built in", good, true},
      {"other repository", with([](ChannelSettings& s) { s.repository = "graycrane42/nuvo2"; }), false},
      {"manifest on another path",
       with([&](ChannelSettings& s) { s.manifest_url = "https://" + host + "/graycrane42/nuvo/releases/latest/download/latest.json.x"; }),
       false},
      {"manifest over http",
       with([&](ChannelSettings& s) { s.manifest_url = "http://" + host + "/graycrane42/nuvo/releases/latest/download/latest.json"; }),
       false},
      {"manifest url not a url", with([](ChannelSettings& s) { s.manifest_url = "::"; }), false},
      {"bad public key", with([](ChannelSettings& s) { s.public_key = "Zm9v"; }), false},
  };
  // A cache directory this platform accepts.
#ifdef _WIN32
  const std::string cache_dir = "C:\\Users\\u\\AppData\\Local\\NuvoSetup\\cache";
#else
  const std::string cache_dir = "/home/u/.cache/NuvoSetup/cache";
#endif
  for (const auto& c : cases) EXPECT_EQ(check_channel(c.settings, cache_dir), c.accepted) << c.name;
  EXPECT_FALSE(check_channel(good, "relative/cache"));
}

TEST(CachePath, WindowsRules) {
  const struct {
    const char* path;
    bool absolute;
    bool acceptable;
  } cases[] = {
      {"C:\\Users\\u\\AppData\\Local\\NuvoSetup\\cache", true, true},
      {"c:/cache", true, true},
      {"D:\\", true, true},
      {"\\\\?\\C:\\cache", true, true},
      {"D:\\cache\\..\\other", true, false},
      {"D:/cache/../other", true, false},
      {"D:\\cache\\..", true, false},
      {"D:\\cache\\...\\x", true, true},
      {"D:\\cache\\.\\x", true, true},
      {"\\\\server\\share\\cache", true, false},
      {"//server/share/cache", true, false},
      {"\\\\?\\UNC\\server\\share", true, false},
      {"\\\\.\\C:\\cache", true, false},
      {"\\\\?\\C:\\a\\..\\b", true, false},
      {"\\\\?\\C:/a/../b", true, false},  // verbatim: "C:/a" is no drive prefix
      {"", false, false},
      {"cache", false, false},
      {"C:cache", false, false},
      {"\\cache", false, false},
      {"/cache", false, false},
      {"1:\\cache", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_absolute_windows_path(c.path), c.absolute) << c.path;
    EXPECT_EQ(is_acceptable_windows_cache_dir(c.path), c.acceptable) << c.path;
  }
  // Longer than MAX_PATH: accepted, and its files are reached by their
  // extended-length names (ExtendedLengthForm).
  const std::string long_dir = "D:\\" + std::string(140, 'a') + "\\" + std::string(140, 'b');
  EXPECT_TRUE(is_acceptable_windows_cache_dir(long_dir));
  EXPECT_TRUE(is_acceptable_windows_cache_dir("\\\\?\\" + long_dir));
}

// What the Windows file calls of the cache are given, from the full path
// GetFullPathNameW makes of the cache's own.
TEST(CachePath, ExtendedLengthForm) {
  const std::string long_name = "D:\\" + std::string(300, 'x') + "\\NuvoInstaller.exe";
  const struct {
    std::string full, extended;
  } cases[] = {
      {"C:\\cache\\installer.part", "\\\\?\\C:\\cache\\installer.part"},
      {"C:\\", "\\\\?\\C:\\"},
      {long_name, "\\\\?\\" + long_name},
      {"\\\\?\\C:\\cache", "\\\\?\\C:\\cache"},  // verbatim already
      {"\\\\server\\share\\cache", "\\\\?\\UNC\\server\\share\\cache"},
      {"\\\\.\\NUL", "\\\\.\\NUL"},  // a device stays one
      {"\\\\?\\UNC\\server\\share", "\\\\?\\UNC\\server\\share"},
      {"cache", "cache"},
  };
  for (const auto& c : cases) EXPECT_EQ(extended_length_path(c.full), c.extended) << c.full;
}

TEST(CachePath, PosixRules) {
  const std::pair<const char*, bool> cases[] = {
      {"/home/u/.cache/NuvoSetup/cache", true}, {"/", true},         {"/a/../b", false},
      {"/a/..", false},                         {"/a/..b/c", true},  {"relative", false},
      {"", false},                              {"./x", false},
  };
  for (const auto& [path, ok] : cases) EXPECT_EQ(is_acceptable_posix_cache_dir(path), ok) << path;
}

}  // namespace
}  // namespace nuvo
