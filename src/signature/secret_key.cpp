#include "signature/secret_key.h"

#include <cstring>

#include "common/wipe.h"
#include "signature/base64.h"

namespace nuvo {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::size_t kKeyBytes = 158;
// scrypt above minisign's own "sensitive" level (1 GiB, one lane) is refused
// rather than tried: a key file must not make us allocate without bound.
constexpr std::uint64_t kMaxScryptMemory = 1ull << 30;
constexpr std::uint32_t kMaxScryptLanes = 4;

// Offsets in the decoded key line.
constexpr std::size_t kSignatureAlgorithm = 0, kKdfAlgorithm = 2, kChecksumAlgorithm = 4, kSalt = 6,
                      kOpsLimit = 38, kMemLimit = 46, kSealed = 54;
// Offsets in the 104 sealed bytes.
constexpr std::size_t kKeyId = 0, kSeed = 8, kPublicKey = 40, kChecksum = 72;

std::uint64_t little_endian64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool all_zero(std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

}  // namespace

std::string_view secret_key_error_message(SecretKeyError error) {
  switch (error) {
    case SecretKeyError::Damaged:
      return "The secret key file is damaged or is not a minisign secret key.";
    case SecretKeyError::WrongPassword:
      return "Wrong password for this secret key.";
    case SecretKeyError::ChecksumMismatch:
      return "The secret key fails its checksum: the file is damaged.";
    case SecretKeyError::HalvesDiffer:
      return "The secret key is damaged: its secret and public halves do not belong together.";
  }
  return "?";
}

SealedSecretKey::SealedSecretKey(SealedSecretKey&& other) noexcept
    : encrypted(other.encrypted),
      salt(other.salt),
      ops_limit(other.ops_limit),
      mem_limit(other.mem_limit),
      sealed(other.sealed) {
  wipe(other.sealed);
}

SealedSecretKey::~SealedSecretKey() { wipe(sealed); }

SecretKey::SecretKey(SecretKey&& other) noexcept
    : key_id(other.key_id), seed(other.seed), public_key(other.public_key) {
  wipe(other.seed);
}

SecretKey::~SecretKey() { wipe(seed); }

ScryptParameters scrypt_parameters(std::uint64_t ops_limit, std::uint64_t mem_limit) {
  constexpr std::uint64_t r = 8;
  if (ops_limit < 32768) ops_limit = 32768;
  ScryptParameters out;
  std::uint64_t max_n = 0;
  if (ops_limit < mem_limit / 32) {
    out.parallelism = 1;
    max_n = ops_limit / (r * 4);
  } else {
    max_n = mem_limit / (r * 128);
  }
  int log2_n = 1;
  while (log2_n < 63 && (std::uint64_t{1} << log2_n) <= max_n / 2) ++log2_n;
  out.cost = std::uint64_t{1} << log2_n;
  if (!(ops_limit < mem_limit / 32)) {
    std::uint64_t max_rp = (ops_limit / 4) / out.cost;
    if (max_rp > 0x3fffffff) max_rp = 0x3fffffff;
    out.parallelism = static_cast<std::uint32_t>(max_rp / r);
  }
  return out;
}

Result<SealedSecretKey, SecretKeyError> parse_secret_key(std::string_view text) {
  const auto damaged = Failure{SecretKeyError::Damaged};
  if (text.size() > kMaxSecretKeyFileSize) return damaged;
  const auto lines = split_minisign_lines(text);
  if (lines.size() != 2 || !lines[0].starts_with(kUntrustedPrefix)) return damaged;
  auto decoded = decode_base64(lines[1]);
  if (!decoded) return damaged;
  // The line holds the sealed key: its decoded bytes are wiped on every way out.
  struct WipedOnExit {
    std::string& bytes;
    ~WipedOnExit() { wipe(bytes); }
  } const guard{*decoded};
  if (decoded->size() != kKeyBytes) return damaged;
  auto* raw = reinterpret_cast<std::uint8_t*>(decoded->data());
  const std::string_view bytes(*decoded);

  if (bytes.substr(kSignatureAlgorithm, 2) != "Ed" || bytes.substr(kChecksumAlgorithm, 2) != "B2")
    return damaged;
  SealedSecretKey out;
  const std::string_view kdf = bytes.substr(kKdfAlgorithm, 2);
  if (kdf == "Sc") {
    out.encrypted = true;
  } else if (kdf != std::string_view("\0\0", 2)) {
    return damaged;
  }
  std::memcpy(out.salt.data(), raw + kSalt, out.salt.size());
  out.ops_limit = little_endian64(raw + kOpsLimit);
  out.mem_limit = little_endian64(raw + kMemLimit);
  std::memcpy(out.sealed.data(), raw + kSealed, out.sealed.size());

  if (out.encrypted) {
    const auto params = scrypt_parameters(out.ops_limit, out.mem_limit);
    if (params.cost * 8 * 128 > kMaxScryptMemory || params.parallelism == 0 ||
        params.parallelism > kMaxScryptLanes)
      return damaged;
  }
  return out;
}

Result<SecretKey, SecretKeyError> open_secret_key(const SealedSecretKey& sealed,
                                                  std::string_view password) {
  std::array<std::uint8_t, 104> plain = sealed.sealed;
  if (sealed.encrypted) {
    const auto params = scrypt_parameters(sealed.ops_limit, sealed.mem_limit);
    std::array<std::uint8_t, 104> stream{};
    if (!crypto::scrypt(password, sealed.salt, params.cost, params.parallelism, stream)) {
      wipe(plain);
      return Failure{SecretKeyError::WrongPassword};
    }
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] ^= stream[i];
    wipe(stream);
  }

  // The checksum covers the signature algorithm, the key id and the secret
  // key. minisign -W records none (all zero) for an unencrypted key.
  std::array<std::uint8_t, 2 + 8 + 64> covered{'E', 'd'};
  std::memcpy(covered.data() + 2, plain.data() + kKeyId, 8 + 64);
  const auto checksum = crypto::blake2b256(covered);
  wipe(covered);
  const auto recorded = std::span(plain).subspan(kChecksum, 32);
  const bool checksum_ok = std::memcmp(checksum.data(), recorded.data(), 32) == 0 ||
                           (!sealed.encrypted && all_zero(recorded));
  if (!checksum_ok) {
    wipe(plain);
    return Failure{sealed.encrypted ? SecretKeyError::WrongPassword
                                    : SecretKeyError::ChecksumMismatch};
  }

  SecretKey key;
  std::memcpy(key.key_id.data(), plain.data() + kKeyId, key.key_id.size());
  std::memcpy(key.seed.data(), plain.data() + kSeed, key.seed.size());
  std::memcpy(key.public_key.data(), plain.data() + kPublicKey, key.public_key.size());
  wipe(plain);

  // The public half is derived, never trusted from the file: a signature
  // made with a foreign public half would check out nowhere.
  if (crypto::ed25519_public_key(key.seed) != key.public_key)
    return Failure{SecretKeyError::HalvesDiffer};
  return key;
}

}  // namespace nuvo
