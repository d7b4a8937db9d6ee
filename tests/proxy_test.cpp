// The proxy decision against what libcurl 7.88 does with the same variables.
#include "http/proxy.h"

#include <gtest/gtest.h>

#include <map>

namespace nuvo {
namespace {

using Env = std::map<std::string, std::string, std::less<>>;

EnvLookup lookup(const Env& env) {
  return [env](std::string_view name) -> std::optional<std::string> {
    const auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  };
}

ProxyServer server(ProxyScheme scheme, std::string host, std::uint16_t port) {
  return ProxyServer{scheme, std::move(host), port};
}

TEST(Proxy, VariablesInCurlsOrder) {
  const auto http = ProxyScheme::kHttp;
  const struct {
    Env env;
    std::optional<ProxyServer> expected;
  } cases[] = {
      {{}, std::nullopt},
      {{{"https_proxy", "proxy.example:3128"}}, server(http, "proxy.example", 3128)},
      {{{"HTTPS_PROXY", "10.0.0.1:82"}}, server(http, "10.0.0.1", 82)},
      {{{"https_proxy", "10.0.0.1:83"}, {"HTTPS_PROXY", "10.0.0.1:82"}},
       server(http, "10.0.0.1", 83)},
      {{{"https_proxy", ""}, {"HTTPS_PROXY", "10.0.0.1:82"}}, server(http, "10.0.0.1", 82)},
      {{{"all_proxy", "10.0.0.1:84"}, {"ALL_PROXY", "10.0.0.1:85"}}, server(http, "10.0.0.1", 84)},
      {{{"ALL_PROXY", "10.0.0.1:85"}}, server(http, "10.0.0.1", 85)},
      {{{"https_proxy", "10.0.0.1:83"}, {"all_proxy", "10.0.0.1:84"}},
       server(http, "10.0.0.1", 83)},
      // http_proxy is for http:// URLs only.
      {{{"http_proxy", "10.0.0.1:86"}, {"HTTP_PROXY", "10.0.0.1:87"}}, std::nullopt},
      {{{"https_proxy", ""}, {"all_proxy", ""}}, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto got = https_proxy_for("nuvor.test", lookup(c.env));
    ASSERT_TRUE(got.ok()) << got.error();
    EXPECT_EQ(*got, c.expected) << (c.env.empty() ? "" : c.env.begin()->first);
  }
  EXPECT_EQ(https_proxy_variable(lookup({{"http_proxy", "a:1"}, {"no_proxy", "*"}})), std::nullopt);
  EXPECT_EQ(https_proxy_variable(lookup({{"HTTPS_PROXY", ""}})), std::nullopt);
  EXPECT_EQ(https_proxy_variable(lookup({{"all_proxy", "a:2"}, {"ALL_PROXY", "a:1"}})), "a:2");
}

TEST(Proxy, ValuesReadAsCurlReadsThem) {
  const struct {
    std::string_view value;
    std::optional<ProxyServer> expected;  // nullopt: refused
  } cases[] = {
      {"127.0.0.1", server(ProxyScheme::kHttp, "127.0.0.1", 1080)},
      {"HTTP://127.0.0.1:81", server(ProxyScheme::kHttp, "127.0.0.1", 81)},
      {"127.0.0.1:08", server(ProxyScheme::kHttp, "127.0.0.1", 8)},
      {"https://proxy.example", server(ProxyScheme::kHttps, "proxy.example", 443)},
      {"socks://p.example", server(ProxyScheme::kSocks4, "p.example", 1080)},
      {"socks4a://p.example:9", server(ProxyScheme::kSocks4a, "p.example", 9)},
      {"socks5://p.example", server(ProxyScheme::kSocks5, "p.example", 1080)},
      {"socks5h://p.example", server(ProxyScheme::kSocks5h, "p.example", 1080)},
      {"http://u:p@[::1]:8080/path", server(ProxyScheme::kHttp, "::1", 8080)},
      {"u@p.example:89", server(ProxyScheme::kHttp, "p.example", 89)},
      {"p.example:65535", server(ProxyScheme::kHttp, "p.example", 65535)},
      // The scheme of a bare host is guessed from its first label.
      {"ftp.example:3128", std::nullopt},
      {"FTP.example:3128", std::nullopt},
      {"imap.example", std::nullopt},
      {"ftpx.example:3128", server(ProxyScheme::kHttp, "ftpx.example", 3128)},
      {"gopher://p.example", std::nullopt},
      {"p.example:", std::nullopt},
      {"p.example:70000", std::nullopt},
      {"p.example:12a", std::nullopt},
      {"p.example:0", std::nullopt},
      {"http://", std::nullopt},
      {"http://[::1", std::nullopt},
      {"http://[::1]x", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto got = parse_proxy(c.value);
    if (!c.expected) {
      EXPECT_FALSE(got.ok()) << c.value;
      continue;
    }
    ASSERT_TRUE(got.ok()) << c.value << ": " << got.error();
    EXPECT_EQ(*got, *c.expected) << c.value;
  }
  // A bad value fails the request rather than silently going direct.
  EXPECT_FALSE(https_proxy_for("nuvor.test", lookup({{"https_proxy", "gopher://p"}})).ok());
}

TEST(Proxy, NoProxyLists) {
  const struct {
    std::string_view host;
    std::string_view no_proxy;
    bool exempt;
  } cases[] = {
      {"nuvor.test", "nuvor.test", true},
      {"nuvor.test", ".nuvor.test", true},
      {"nuvor.test", "test", true},
      {"nuvor.test", ".test", true},
      {"nuvor.test", "NUVOR.TEST", true},
      {"nuvor.test", "nuvor.test.", true},
      {"assets.nuvor.test", "nuvor.test", true},
      {"nuvor.test", "r.test", false},  // only whole labels
      {"nuvor.test", "nuvor.tes", false},
      {"nuvor.test", "sub.nuvor.test", false},
      {"nuvor.test", "nuvor.test:443", false},  // an entry with a port never matches
      {"nuvor.test", "a, nuvor.test", true},
      {"nuvor.test", "a nuvor.test", true},
      {"nuvor.test", "a\tnuvor.test", true},
      {"nuvor.test", ",,nuvor.test,", true},
      {"nuvor.test", "*", true},
      {"nuvor.test", " * ", false},  // "*" means everything only alone
      {"nuvor.test", "a,*", false},
      {"nuvor.test", "*.test", false},
      {"nuvor.test", "", false},
      {"nuvor.test", "127.0.0.2", false},
      {"127.0.0.2", "127.0.0.2", true},
      {"127.0.0.2", "127.0.0.3", false},
      {"127.0.0.2", "127.0.0.0/8", true},
      {"127.0.0.2", "127.0.0.0/24", true},
      {"127.0.0.2", "127.0.1.0/24", false},
      {"127.0.0.2", "127.0.0.2/0", true},  // a zero prefix length means the whole address
      {"127.0.0.2", "127.0.0.0/33", false},
      {"127.0.0.2", "127.000.0.2", false},
      {"[::1]", "::1", true},
      {"[::1]", "[::1]", false},
      {"[::1]", "::1/128", false},  // IPv6 entries are compared as text
  };
  for (const auto& c : cases)
    EXPECT_EQ(no_proxy_matches(c.host, c.no_proxy), c.exempt)
        << c.host << " in '" << c.no_proxy << "'";

  const Env proxied = {{"https_proxy", "p.example:1"}};
  const auto with = [&](Env extra) {
    extra.insert(proxied.begin(), proxied.end());
    auto got = https_proxy_for("nuvor.test", lookup(extra));
    EXPECT_TRUE(got.ok());
    return got.ok() && got->has_value();
  };
  EXPECT_FALSE(with({{"NO_PROXY", "nuvor.test"}}));
  EXPECT_FALSE(with({{"no_proxy", ""}, {"NO_PROXY", "nuvor.test"}}));
  EXPECT_TRUE(with({{"no_proxy", "other.test"}, {"NO_PROXY", "nuvor.test"}}));
  // An exempt host needs no valid proxy value.
  EXPECT_TRUE(
      https_proxy_for("nuvor.test", lookup({{"https_proxy", "gopher://p"}, {"no_proxy", "*"}}))
          .ok());
}

TEST(Proxy, WinHttpNames) {
  EXPECT_EQ(winhttp_proxy_name(server(ProxyScheme::kHttp, "p.example", 3128)), "p.example:3128");
  EXPECT_EQ(winhttp_proxy_name(server(ProxyScheme::kHttp, "::1", 8080)), "[::1]:8080");
}

}  // namespace
}  // namespace nuvo
