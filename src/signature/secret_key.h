// minisign secret-key files: the scrypt-encrypted form minisign writes by
// default and the unencrypted form of `minisign -G -W`.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "common/result.h"
#include "signature/crypto.h"
#include "signature/signature.h"

namespace nuvo {

// A key file is two short lines; anything longer is not one.
inline constexpr std::size_t kMaxSecretKeyFileSize = 4096;

enum class SecretKeyError : std::uint8_t {
  Damaged,           // not the format, or algorithms and parameters we do not know
  WrongPassword,     // encrypted, and the checksum fails after decryption
  ChecksumMismatch,  // unencrypted, and the recorded checksum fails
  HalvesDiffer,      // the secret half does not make the public half it carries
};

std::string_view secret_key_error_message(SecretKeyError error);

// The file as read, still sealed when it is encrypted.
struct SealedSecretKey {
  bool encrypted = false;
  std::array<std::uint8_t, 32> salt{};
  std::uint64_t ops_limit = 0;
  std::uint64_t mem_limit = 0;
  // Key id, secret key (seed and public key) and checksum, 104 bytes;
  // encrypted when `encrypted`.
  std::array<std::uint8_t, 104> sealed{};

  SealedSecretKey() = default;
  SealedSecretKey(const SealedSecretKey&) = delete;
  SealedSecretKey& operator=(const SealedSecretKey&) = delete;
  SealedSecretKey(SealedSecretKey&& other) noexcept;
  SealedSecretKey& operator=(SealedSecretKey&&) = delete;
  ~SealedSecretKey();
};

struct SecretKey {
  KeyId key_id{};
  crypto::Ed25519Seed seed{};
  crypto::Ed25519PublicKey public_key{};

  SecretKey() = default;
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
  SecretKey(SecretKey&& other) noexcept;
  SecretKey& operator=(SecretKey&&) = delete;
  ~SecretKey();
};

Result<SealedSecretKey, SecretKeyError> parse_secret_key(std::string_view file_text);

// Decrypts with `password` (ignored for an unencrypted key), checks the
// checksum and that both halves belong together.
Result<SecretKey, SecretKeyError> open_secret_key(const SealedSecretKey& sealed,
                                                  std::string_view password);

// libsodium's choice of scrypt's N and p for an ops and memory limit (r is 8).
struct ScryptParameters {
  std::uint64_t cost = 0;
  std::uint32_t parallelism = 0;
};
ScryptParameters scrypt_parameters(std::uint64_t ops_limit, std::uint64_t mem_limit);

}  // namespace nuvo
