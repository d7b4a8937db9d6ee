// Limits shared by the channel, the download and the signature check.
#pragma once

#include <cstdint>

namespace nuvo {

// Every installer size (announced, stored, verified) is 1 byte to 512 MiB.
inline constexpr std::uint64_t kMaxPackageSize = 512ull * 1024 * 1024;

}  // namespace nuvo
