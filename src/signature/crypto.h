// The few primitives we take from libgcrypt.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace nuvo::crypto {

using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;
using Blake2b512Digest = std::array<std::uint8_t, 64>;
using Sha256Digest = std::array<std::uint8_t, 32>;
using Blake2b256Digest = std::array<std::uint8_t, 32>;
using Ed25519Seed = std::array<std::uint8_t, 32>;

// Refuses what libsodium (and so minisign) refuses before any arithmetic: a
// non-canonical S, R or key, and an R or key of small order.
bool ed25519_encodings_acceptable(const Ed25519PublicKey& key, const Ed25519Signature& signature);

// Ed25519 over a short message (at most 32 KiB), by libgcrypt's own verifier.
bool ed25519_verify(const Ed25519PublicKey& key, std::span<const std::uint8_t> message,
                    const Ed25519Signature& signature);

// Ed25519 over a message of any length, fed in pieces. libgcrypt's verifier
// takes the message inside an S-expression, which holds at most 64 KiB, so
// for long messages we check [S]B = R + [SHA-512(R || A || M)]A with its
// curve arithmetic.
class Ed25519StreamVerifier {
 public:
  Ed25519StreamVerifier(const Ed25519PublicKey& key, const Ed25519Signature& signature);
  ~Ed25519StreamVerifier();
  Ed25519StreamVerifier(const Ed25519StreamVerifier&) = delete;
  Ed25519StreamVerifier& operator=(const Ed25519StreamVerifier&) = delete;

  void update(std::span<const std::uint8_t> bytes);
  bool finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The public key that belongs to `seed`; empty when libgcrypt refuses.
std::optional<Ed25519PublicKey> ed25519_public_key(const Ed25519Seed& seed);

// Ed25519 signature of a short message (at most 32 KiB) by the key that
// `seed` (the secret half) stands for; empty when libgcrypt refuses.
std::optional<Ed25519Signature> ed25519_sign(const Ed25519Seed& seed,
                                             std::span<const std::uint8_t> message);

class Blake2b512 {
 public:
  Blake2b512();
  ~Blake2b512();
  Blake2b512(const Blake2b512&) = delete;
  Blake2b512& operator=(const Blake2b512&) = delete;

  void update(std::span<const std::uint8_t> bytes);
  Blake2b512Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Sha256Digest sha256(std::string_view bytes);
Blake2b256Digest blake2b256(std::span<const std::uint8_t> bytes);

// scrypt with a block size of 8, as libsodium's scryptsalsa208sha256:
// N = `cost`, p = `parallelism`; fills `out`. False when libgcrypt refuses,
// also for want of memory (128 × 8 × N bytes).
bool scrypt(std::string_view password, std::span<const std::uint8_t> salt, std::uint64_t cost,
            std::uint32_t parallelism, std::span<std::uint8_t> out);

// Overwrites memory that held a secret, in a way the compiler keeps.
void wipe(std::span<std::uint8_t> bytes);

}  // namespace nuvo::crypto
