// Conversions between UTF-8 (used everywhere inside) and UTF-16 (Windows' own).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nuvo {

bool is_valid_utf8(std::string_view s);

// Empty when the input holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view s);

// The same, appended to `out`; false (and `out` changed) on an unpaired
// surrogate. At most 3 bytes per UTF-16 unit are added.
bool append_utf16_as_utf8(std::string& out, std::u16string_view s);

// Empty when the input is not valid UTF-8.
std::optional<std::u16string> utf8_to_utf16(std::string_view s);

}  // namespace nuvo
