// The primitives that work on the secret key, which only the publisher's tool
// needs. They live apart from the verifier's so that NuvoSetup, which only
// verifies, links none of them.
#include <sodium/crypto_generichash.h>
#include <sodium/crypto_pwhash_scryptsalsa208sha256.h>
#include <sodium/crypto_sign_ed25519.h>
#include <sodium/utils.h>

#include "signature/crypto.h"

namespace nuvo::crypto {
namespace {

// The secret key as libsodium takes it: the seed, then the public key derived
// from it. Wiped when it goes.
struct ExpandedKey {
  std::array<std::uint8_t, crypto_sign_ed25519_SECRETKEYBYTES> secret{};
  Ed25519PublicKey public_key{};

  explicit ExpandedKey(const Ed25519Seed& seed) {
    initialise();
    crypto_sign_ed25519_seed_keypair(public_key.data(), secret.data(), seed.data());
  }
  ExpandedKey(const ExpandedKey&) = delete;
  ExpandedKey& operator=(const ExpandedKey&) = delete;
  ~ExpandedKey() { sodium_memzero(secret.data(), secret.size()); }
};

}  // namespace

Ed25519PublicKey ed25519_public_key(const Ed25519Seed& seed) {
  return ExpandedKey(seed).public_key;
}

Ed25519Signature ed25519_sign(const Ed25519Seed& seed, std::span<const std::uint8_t> message) {
  const ExpandedKey key(seed);
  Ed25519Signature out{};
  crypto_sign_ed25519_detached(out.data(), nullptr, message.data(), message.size(),
                               key.secret.data());
  return out;
}

Blake2b256Digest blake2b256(std::span<const std::uint8_t> bytes) {
  initialise();
  Blake2b256Digest out{};
  crypto_generichash(out.data(), out.size(), bytes.data(), bytes.size(), nullptr, 0);
  return out;
}

bool scrypt(std::string_view password, std::span<const std::uint8_t> salt, std::uint64_t cost,
            std::uint32_t parallelism, std::span<std::uint8_t> out) {
  initialise();
  // libsodium wants a pointer even to an empty password.
  const char* text = password.empty() ? "" : password.data();
  return crypto_pwhash_scryptsalsa208sha256_ll(reinterpret_cast<const std::uint8_t*>(text),
                                               password.size(), salt.data(), salt.size(), cost, 8,
                                               parallelism, out.data(), out.size()) == 0;
}

}  // namespace nuvo::crypto
