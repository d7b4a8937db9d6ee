// ASCII case folding, for the names that protocols compare without case:
// schemes, host names, header names, proxy settings. Bytes outside A-Z,
// UTF-8 included, are left as they are.
#pragma once

#include <cstddef>
#include <string_view>

namespace nuvo {

constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Equal once both sides are lower-cased.
constexpr bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

constexpr bool ascii_istarts_with(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && ascii_iequals(text.substr(0, prefix.size()), prefix);
}

}  // namespace nuvo
