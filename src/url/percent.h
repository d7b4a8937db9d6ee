// Percent-encoding and -decoding with the byte sets each part of a URL uses.
#pragma once

#include <string>
#include <string_view>

namespace nuvo::url_detail {

// Every set holds the C0 controls and all bytes above '~'; each adds a few of its own.
enum class EncodeSet { kC0Control, kFragment, kQuery, kSpecialQuery, kPath, kUserinfo };

// Appends `byte` to `out`, as "%XX" when `set` holds it.
void percent_encode(std::string& out, char byte, EncodeSet set);

// Turns each "%XX" into its byte; a '%' without two hex digits stays as it is.
std::string percent_decode(std::string_view text);

}  // namespace nuvo::url_detail
