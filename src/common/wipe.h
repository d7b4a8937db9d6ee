// Wiping memory that held a secret (a key, a password), in a way the
// compiler cannot leave out.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace nuvo {

void wipe(std::span<std::uint8_t> bytes);

// The string's whole buffer, beyond its text up to its capacity, which then
// leaves it empty. A string that held a secret is given room for it up
// front, so that it never moved to a larger buffer and left a copy behind.
void wipe(std::string& text);
void wipe(std::u16string& text);

}  // namespace nuvo
