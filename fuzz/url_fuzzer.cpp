// URL parsing must end, never crash, and give back what it serialises.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "url/url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const auto base = nuvo::parse_url("https://github.com/graycrane42/nuvo/releases/x");
  const auto url = nuvo::parse_url(text, &*base);
  if (url) {
    // A serialised URL parses again to itself.
    const std::string href = url->href();
    const auto again = nuvo::parse_url(href);
    if (!again || again->href() != href) std::abort();
  }
  return 0;
}
