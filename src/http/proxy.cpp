// The proxy decision of libcurl 7.88 for https requests, without libcurl.
#include "http/proxy.h"

#include <charconv>
#include <initializer_list>

#include "common/ascii.h"
#include "url/percent.h"

namespace nuvo {
namespace {

// curl treats an empty variable as unset.
std::optional<std::string> get(const EnvLookup& env, std::string_view name) {
  auto value = env(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

std::optional<std::string> first_of(const EnvLookup& env,
                                    std::initializer_list<std::string_view> names) {
  for (const auto name : names)
    if (auto value = get(env, name)) return value;
  return std::nullopt;
}

// Dotted-quad IPv4 only, as inet_pton reads it: no leading zeros, no shorthand.
std::optional<std::uint32_t> parse_ipv4(std::string_view s) {
  std::uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (s.empty() || s.front() != '.') return std::nullopt;
      s.remove_prefix(1);
    }
    std::size_t n = 0;
    while (n < s.size() && n < 4 && s[n] >= '0' && s[n] <= '9') ++n;
    if (n == 0 || n > 3 || (n > 1 && s[0] == '0')) return std::nullopt;
    unsigned value = 0;
    std::from_chars(s.data(), s.data() + n, value);
    if (value > 255) return std::nullopt;
    address = (address << 8) | value;
    s.remove_prefix(n);
  }
  if (!s.empty()) return std::nullopt;
  return address;
}

// "a.b.c.d" or "a.b.c.d/bits"; bits 0 or absent mean the whole address, as
// atoi() of a bad prefix length does in curl.
bool ipv4_entry_matches(std::uint32_t address, std::string_view entry) {
  unsigned bits = 0;
  if (const auto slash = entry.find('/'); slash != std::string_view::npos) {
    const auto digits = entry.substr(slash + 1);
    std::from_chars(digits.data(), digits.data() + digits.size(), bits);
    entry = entry.substr(0, slash);
  }
  const auto network = parse_ipv4(entry);
  if (!network || bits > 32) return false;
  if (bits == 0 || bits == 32) return address == *network;
  const std::uint32_t mask = 0xFFFFFFFFu << (32 - bits);
  return ((address ^ *network) & mask) == 0;
}

bool name_entry_matches(std::string_view name, std::string_view entry) {
  if (!entry.empty() && entry.back() == '.') entry.remove_suffix(1);
  if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  if (entry.empty()) return false;
  if (entry.size() == name.size()) return ascii_iequals(entry, name);
  if (entry.size() > name.size()) return false;
  // A domain matches its subdomains, on a label boundary only.
  return name[name.size() - entry.size() - 1] == '.' &&
         ascii_iequals(entry, name.substr(name.size() - entry.size()));
}

// The userinfo of a proxy value, as curl finds it: between the scheme and
// the last '@' before the path.
std::optional<std::string_view> userinfo_of(std::string_view value) {
  if (const auto sep = value.find("://"); sep != std::string_view::npos)
    value = value.substr(sep + 3);
  value = value.substr(0, value.find_first_of("/?#"));
  const auto at = value.rfind('@');
  if (at == std::string_view::npos) return std::nullopt;
  return value.substr(0, at);
}

// The value as it may be shown: a userinfo becomes "***".
std::string shown(std::string_view value) {
  const auto userinfo = userinfo_of(value);
  if (!userinfo) return std::string(value);
  const auto start = static_cast<std::size_t>(userinfo->data() - value.data());
  return std::string(value.substr(0, start)) + "***" +
         std::string(value.substr(start + userinfo->size()));
}

// Decoded as curl decodes it: a '%' not followed by two hex digits stays as
// it is. A control character in the result makes the credentials unusable.
std::optional<std::string> percent_decoded(std::string_view s) {
  std::string out = url_detail::percent_decode(s);
  for (const char c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
  return out;
}

void replace_all(std::string& text, std::string_view what) {
  if (what.empty()) return;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 3))
    text.replace(pos, what.size(), "***");
}

bool visible(std::string_view s) {
  for (const char c : s)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
  return true;
}

}  // namespace

std::optional<std::string> https_proxy_variable(const EnvLookup& env) {
  return first_of(env, {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"});
}

bool no_proxy_matches(std::string_view host, std::string_view no_proxy) {
  if (host.empty() || no_proxy.empty()) return false;
  if (no_proxy == "*") return true;  // only when alone: "*" inside a list is a name

  // An IPv6 address is matched as text, like a name, as curl 7.88 does.
  std::optional<std::uint32_t> ipv4;
  if (host.front() == '[') {
    const auto close = host.find(']');
    if (close == std::string_view::npos) return false;
    host = host.substr(1, close - 1);
  } else if (!(ipv4 = parse_ipv4(host)) && host.back() == '.') {
    host.remove_suffix(1);
  }

  std::size_t pos = 0;
  while (pos < no_proxy.size()) {
    // Entries are separated by commas and blanks alike.
    while (pos < no_proxy.size() &&
           (no_proxy[pos] == ' ' || no_proxy[pos] == '\t' || no_proxy[pos] == ','))
      ++pos;
    const std::size_t start = pos;
    while (pos < no_proxy.size() && no_proxy[pos] != ' ' && no_proxy[pos] != '\t' &&
           no_proxy[pos] != ',')
      ++pos;
    const auto entry = no_proxy.substr(start, pos - start);
    if (entry.empty()) continue;
    if (ipv4 ? ipv4_entry_matches(*ipv4, entry) : name_entry_matches(host, entry)) return true;
  }
  return false;
}

Result<ProxyServer, std::string> parse_proxy(std::string_view value) {
  const std::string quoted = "'" + shown(value) + "'";
  const auto syntax_error = [&] { return Failure{"unsupported proxy syntax in " + quoted}; };
  const auto scheme_error = [&] { return Failure{"unsupported proxy scheme for " + quoted}; };

  std::string_view scheme;
  std::string_view rest = value;
  if (const auto sep = value.find("://"); sep != std::string_view::npos) {
    scheme = value.substr(0, sep);
    rest = value.substr(sep + 3);
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);

  std::string_view host;
  std::string_view port_text;
  bool has_port = false;
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string_view::npos) return syntax_error();
    host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return syntax_error();
  } else {
    host = rest.substr(0, rest.find(':'));
    rest = rest.substr(host.size());
  }
  if (!rest.empty()) {
    has_port = true;
    port_text = rest.substr(1);
  }
  if (host.empty() || !visible(host)) return syntax_error();

  if (scheme.empty()) {
    // curl guesses the scheme of a bare host from its first label.
    scheme = "http";
    for (const std::string_view guess : {"ftp", "dict", "ldap", "imap", "smtp", "pop3"})
      if (ascii_istarts_with(host, std::string(guess) + ".")) scheme = guess;
  }

  ProxyServer proxy;
  proxy.host = std::string(host);
  if (ascii_iequals(scheme, "http")) {
    proxy.scheme = ProxyScheme::kHttp;
  } else if (ascii_iequals(scheme, "https")) {
    proxy.scheme = ProxyScheme::kHttps;
  } else if (ascii_iequals(scheme, "socks4") || ascii_iequals(scheme, "socks")) {
    proxy.scheme = ProxyScheme::kSocks4;
  } else if (ascii_iequals(scheme, "socks4a")) {
    proxy.scheme = ProxyScheme::kSocks4a;
  } else if (ascii_iequals(scheme, "socks5")) {
    proxy.scheme = ProxyScheme::kSocks5;
  } else if (ascii_iequals(scheme, "socks5h")) {
    proxy.scheme = ProxyScheme::kSocks5h;
  } else {
    return scheme_error();
  }

  if (has_port) {
    unsigned port = 0;
    const auto [end, ec] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() ||
        port > 65535)
      return syntax_error();
    // curl would try port 0 and fail to connect; saying so is clearer.
    if (port == 0) return Failure{"proxy port 0 in " + quoted};
    proxy.port = static_cast<std::uint16_t>(port);
  } else {
    proxy.port = proxy.scheme == ProxyScheme::kHttps ? 443 : 1080;
  }
  return proxy;
}

Result<std::optional<ProxyServer>, std::string> https_proxy_for(std::string_view host,
                                                                const EnvLookup& env) {
  const auto no_proxy = first_of(env, {"no_proxy", "NO_PROXY"});
  if (no_proxy && no_proxy_matches(host, *no_proxy)) return std::optional<ProxyServer>();
  const auto value = https_proxy_variable(env);
  if (!value) return std::optional<ProxyServer>();
  auto proxy = parse_proxy(*value);
  if (!proxy) return Failure{std::move(proxy).error()};
  return std::optional<ProxyServer>(std::move(proxy).value());
}

std::optional<ProxyCredentials> proxy_credentials(std::string_view value) {
  const auto userinfo = userinfo_of(value);
  if (!userinfo) return std::nullopt;
  const auto colon = userinfo->find(':');
  auto user = percent_decoded(userinfo->substr(0, colon));
  auto password = colon == std::string_view::npos ? std::optional<std::string>("")
                                                  : percent_decoded(userinfo->substr(colon + 1));
  if (!user || !password) return std::nullopt;
  return ProxyCredentials{std::move(*user), std::move(*password)};
}

std::string without_proxy_credentials(std::string text, std::string_view value) {
  const auto userinfo = userinfo_of(value);
  if (!userinfo) return text;
  replace_all(text, *userinfo);
  const auto colon = userinfo->find(':');
  const auto raw_user = userinfo->substr(0, colon);
  const auto raw_password =
      colon == std::string_view::npos ? std::string_view() : userinfo->substr(colon + 1);
  replace_all(text, raw_password);
  replace_all(text, raw_user);
  if (const auto credentials = proxy_credentials(value)) {
    replace_all(text, credentials->password);
    replace_all(text, credentials->user);
  }
  return text;
}

std::string winhttp_proxy_name(const ProxyServer& proxy) {
  const bool ipv6 = proxy.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + proxy.host + "]" : proxy.host) + ":" + std::to_string(proxy.port);
}

}  // namespace nuvo
