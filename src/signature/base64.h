// Strict standard base64 (RFC 4648 alphabet, "=" padding).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nuvo {

std::string encode_base64(std::string_view bytes);

// Accepts only the canonical padded encoding: no white space, no missing or
// surplus padding, no stray bits in the last character.
std::optional<std::string> decode_base64(std::string_view text);

// The envelope every base64 text we are handed must pass: 1..limit bytes,
// surrounding white space trimmed, canonical base64 of valid UTF-8.
std::optional<std::string> decode_base64_envelope(std::string_view text, std::size_t limit);

}  // namespace nuvo
