// The primitives the verifier needs: Ed25519 verification and the digests.
#include "signature/crypto.h"

#include <sodium/core.h>
#include <sodium/crypto_hash_sha256.h>
#include <sodium/crypto_sign_ed25519.h>

#include <cstdlib>

namespace nuvo::crypto {

void initialise() {
  static const bool done = [] {
    if (sodium_init() < 0) std::abort();
    return true;
  }();
  (void)done;
}

bool ed25519_verify(const Ed25519PublicKey& key, std::span<const std::uint8_t> message,
                    const Ed25519Signature& signature) {
  initialise();
  return crypto_sign_ed25519_verify_detached(signature.data(), message.data(), message.size(),
                                             key.data()) == 0;
}

Blake2b512::Blake2b512() {
  initialise();
  crypto_generichash_init(&state_, nullptr, 0, std::tuple_size_v<Blake2b512Digest>);
}

Blake2b512::~Blake2b512() = default;

void Blake2b512::update(std::span<const std::uint8_t> bytes) {
  crypto_generichash_update(&state_, bytes.data(), bytes.size());
}

Blake2b512Digest Blake2b512::finish() {
  Blake2b512Digest out{};
  crypto_generichash_final(&state_, out.data(), out.size());
  return out;
}

Sha256Digest sha256(std::string_view bytes) {
  initialise();
  Sha256Digest out{};
  crypto_hash_sha256(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size());
  return out;
}

}  // namespace nuvo::crypto
