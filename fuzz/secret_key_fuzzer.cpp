// Secret-key files come from the publisher's disk, in whatever state: reading
// one must never crash. Encrypted keys are only parsed: their scrypt run
// costs a gigabyte by design.
#include <cstdint>
#include <string_view>

#include "signature/secret_key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto sealed = nuvo::parse_secret_key(text);
  if (sealed && !sealed->encrypted) (void)nuvo::open_secret_key(*sealed, "");
  return 0;
}
