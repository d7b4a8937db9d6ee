// Prehashed minisign signatures, made as `minisign -S` makes them: Ed25519
// over the file's BLAKE2b-512 digest, and a global signature over that
// signature and the trusted comment.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/setup_error.h"
#include "platform/file.h"
#include "signature/crypto.h"
#include "signature/secret_key.h"

namespace nuvo {

inline constexpr std::string_view kSignerUntrustedComment =
    "signature from nuvo-release secret key";

// The BLAKE2b-512 digest of everything `reader` gives, read in 1 MiB blocks; InvalidPackageSize
// past `limit` bytes, StorageFailed when a read fails.
SetupResult<crypto::Blake2b512Digest> digest_stream(ByteReader& reader, std::uint64_t limit);

// The text of the .minisig file for a file with this digest. Empty when the
// comment holds a line break or the signature does not check out with the
// key's own public half.
std::optional<std::string> sign_digest(const SecretKey& key, const crypto::Blake2b512Digest& digest,
                                       std::string_view trusted_comment);

}  // namespace nuvo
