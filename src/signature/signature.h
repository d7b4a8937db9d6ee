// minisign signatures: screening, binding to the announced version, and
// verification of a file on disk.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/limits.h"
#include "common/setup_error.h"
#include "platform/file.h"
#include "signature/crypto.h"

namespace nuvo {

inline constexpr std::size_t kMaxSignatureTextSize = 8192;
inline constexpr std::size_t kMaxPublicKeyTextSize = 2048;
inline constexpr std::size_t kVerifyBlockSize = 65536;

using KeyId = std::array<std::uint8_t, 8>;

struct PublicKey {
  KeyId key_id{};
  crypto::Ed25519PublicKey key{};
  std::string untrusted_comment;
};

struct PreparedSignature {
  std::array<char, 2> algorithm{};  // "Ed" (legacy) or "ED" (prehashed)
  KeyId key_id{};
  crypto::Ed25519Signature signature{};
  std::string trusted_comment;  // after "trusted comment: "
  crypto::Ed25519Signature global_signature{};
  PublicKey public_key;
  bool prehashed = false;
};

// The lines of a minisign text: trailing white space removed, split at line
// feeds (a CR before an LF belongs to the break), no empty last line.
std::vector<std::string_view> split_minisign_lines(std::string_view text);

SetupResult<PublicKey> parse_public_key(std::string_view text);

SetupResult<PreparedSignature> prepare_signature(std::string_view signature_text,
                                                 std::string_view public_key_text,
                                                 std::string_view expected_version);

SetupResult<void> verify_file(const PreparedSignature& signature, std::string_view path,
                              const std::atomic<bool>& cancel);

// The checking half of verify_file, for a reader whose size was taken already.
SetupResult<void> verify_stream(const PreparedSignature& signature, ByteReader& reader,
                                std::uint64_t size, const std::atomic<bool>& cancel);

}  // namespace nuvo
