// Host parsing for the special schemes: domains, IPv4 in all its numeric forms, and IPv6.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nuvo::url_detail {

// The serialized host for the host text of a special URL (percent-encoded as typed), or empty when
// it is not a valid host. Domains outside ASCII are refused; see parse_url().
std::optional<std::string> parse_host(std::string_view text);

}  // namespace nuvo::url_detail
