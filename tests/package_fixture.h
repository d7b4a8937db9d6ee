// A cache, a channel client over the in-memory transport and a signed
// package (the fixtures made by the real minisign), for tests of whole runs.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "channel_config.h"
#include "download/package.h"
#include "fake_transport.h"
#include "test_support.h"

namespace nuvo::test {

inline const std::string kEtag = "\"v1\"";

inline ScriptedAnswer answer(int status, std::vector<HttpHeader> headers, std::string body = "",
                             std::string body_error = "") {
  ScriptedAnswer a;
  a.status = status;
  a.headers = std::move(headers);
  a.body = std::move(body);
  a.body_error = std::move(body_error);
  return a;
}

// Hands every request to a transport that someone else owns, so that several
// clients in a row can share one script and one request log.
class ForwardingTransport final : public HttpTransport {
 public:
  explicit ForwardingTransport(HttpTransport& target) : target_(target) {}
  Result<HttpResponse, std::string> get(std::string_view url,
                                        const std::vector<HttpHeader>& headers,
                                        const RequestStop& stop) override {
    return target_.get(url, headers, stop);
  }

 private:
  HttpTransport& target_;
};

struct PackageFixture {
  ScratchDir dir;
  FakeTransport* fake = nullptr;
  ChannelClient client;
  std::atomic<bool> cancel{false};
  std::vector<Stage> stages;
  ProgressSink sink = [this](const DownloadProgress& p) {
    if (stages.empty() || stages.back() != p.stage || p.stage != Stage::Downloading)
      stages.push_back(p.stage);
  };
  std::string package = read_fixture("package.bin");
  std::string installer_url = "https://" + std::string(config::kReleaseHost) +
                              "/graycrane42/nuvo/releases/download/v1.4.2/Nuvo_1.4.2_x64-setup.exe";

  PackageFixture() {
    auto transport = std::make_unique<FakeTransport>();
    fake = transport.get();
    client.settings = builtin_channel_settings();
    client.settings.public_key = fixture_base64("dev.pub");
    client.cache_dir = dir.file("cache");
    client.http = std::move(transport);
    const std::string manifest = R"({"version":"1.4.2","platforms":{"windows-x86_64":{"url":")" +
                                 installer_url + R"(","signature":")" +
                                 fixture_base64("package.minisig") + "\"}}}";
    fake->routes[client.settings.manifest_url].push_back(answer(200, {}, manifest));
    serve(package);
  }
  void serve(const std::string& body) {
    fake->routes[installer_url] = {answer(200, {{"ETag", kEtag}}, body)};
  }
  std::size_t installer_requests() const {
    std::size_t n = 0;
    for (const auto& r : fake->requests) n += r.url == installer_url;
    return n;
  }
  // Another client of the same cache, channel and transport.
  ChannelClient another_client() const {
    return ChannelClient{client.settings, client.cache_dir,
                         std::make_unique<ForwardingTransport>(*client.http), client.cache_trusted};
  }
  std::string release_dir() const {
    return only_subdirectory(client.cache_dir);
  }
};

}  // namespace nuvo::test
