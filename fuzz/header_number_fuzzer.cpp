// Content-Length and Content-Range numbers come from any server: the parser
// must agree with a plain reading of one optional "+" and 64-bit decimal digits.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "http/header_number.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view digits = text;
  if (digits.starts_with('+')) digits.remove_prefix(1);
  std::optional<std::uint64_t> expected;
  if (!digits.empty() &&
      std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error == std::errc() && end == digits.data() + digits.size()) expected = value;
  }
  if (nuvo::parse_http_number(text) != expected) std::abort();
  return 0;
}
