// The few primitives we take from libsodium, the library minisign is built on.
#pragma once

#include <sodium/crypto_generichash.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace nuvo::crypto {

using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;
using Blake2b512Digest = std::array<std::uint8_t, 64>;
using Sha256Digest = std::array<std::uint8_t, 32>;
using Blake2b256Digest = std::array<std::uint8_t, 32>;
using Ed25519Seed = std::array<std::uint8_t, 32>;

// Readies libsodium once (it picks the fastest code for this processor);
// every function here calls it first.
void initialise();

// Ed25519 over a message held in memory, as minisign checks it: besides the
// arithmetic, a non-canonical S, R or key and an R or key of small order are
// refused.
bool ed25519_verify(const Ed25519PublicKey& key, std::span<const std::uint8_t> message,
                    const Ed25519Signature& signature);

// The public key that belongs to `seed`.
Ed25519PublicKey ed25519_public_key(const Ed25519Seed& seed);

// Ed25519 signature of `message` by the key that `seed` (the secret half)
// stands for.
Ed25519Signature ed25519_sign(const Ed25519Seed& seed, std::span<const std::uint8_t> message);

class Blake2b512 {
 public:
  Blake2b512();
  ~Blake2b512();
  Blake2b512(const Blake2b512&) = delete;
  Blake2b512& operator=(const Blake2b512&) = delete;

  void update(std::span<const std::uint8_t> bytes);
  Blake2b512Digest finish();

 private:
  crypto_generichash_state state_;
};

Sha256Digest sha256(std::string_view bytes);
Blake2b256Digest blake2b256(std::span<const std::uint8_t> bytes);

// scrypt with a block size of 8, libsodium's scryptsalsa208sha256: N =
// `cost`, p = `parallelism`; fills `out`. False when libsodium refuses, also
// for want of memory (128 × 8 × N bytes).
bool scrypt(std::string_view password, std::span<const std::uint8_t> salt, std::uint64_t cost,
            std::uint32_t parallelism, std::span<std::uint8_t> out);

}  // namespace nuvo::crypto
