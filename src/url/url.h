// Parsing and serializing URLs of the special schemes, the way browsers do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nuvo {

// A parsed URL of one of the special schemes: http, https, ws, wss, ftp and file.
struct Url {
  std::string scheme;    // lower case, without ':'
  std::string username;  // percent-encoded as serialized
  std::string password;
  std::optional<std::string> host;  // serialized: domain lower case, IPv4 dotted, IPv6 in brackets
  std::optional<std::uint16_t> port;    // absent when none or equal to the scheme's default
  std::string path;                     // serialized path, e.g. "/a/b%20c"
  std::optional<std::string> query;     // without the '?'; present-but-empty for a trailing "?"
  std::optional<std::string> fragment;  // without the '#'
  std::string href() const;             // the WHATWG serializer
};

// Parses `input` (UTF-8), optionally against `base`, as the WHATWG URL standard does. Empty when it
// fails. Deliberate limits: only the special schemes parse (as input, and as the base of a relative
// reference); hosts outside ASCII, also once percent-decoded, are refused rather than mapped to
// punycode, while ASCII "xn--" labels pass through lower-cased; input that is not valid UTF-8 or
// longer than 1 MiB is refused.
std::optional<Url> parse_url(std::string_view input, const Url* base = nullptr);

}  // namespace nuvo
