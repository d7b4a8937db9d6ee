// Numbers in HTTP header values (Content-Length, Content-Range).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace nuvo {

// An unsigned decimal of up to 64 bits, optionally after one "+".
std::optional<std::uint64_t> parse_http_number(std::string_view text);

}  // namespace nuvo
