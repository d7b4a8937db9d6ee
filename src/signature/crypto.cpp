#include "signature/crypto.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace nuvo::crypto {
namespace {

// libgcrypt wants to be initialised once before any other call. Secure
// memory stays off: the installer only handles public data, and the
// publisher's tool holds its one secret key briefly and wipes it (wipe()).
void ensure_initialised() {
  static const bool done = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) std::abort();
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)done;
}

template <class T, void (*Free)(T)>
struct Deleter {
  void operator()(T p) const { Free(p); }
};
void free_md(gcry_md_hd_t h) { gcry_md_close(h); }
using Sexp = std::unique_ptr<gcry_sexp, Deleter<gcry_sexp_t, gcry_sexp_release>>;
using Mpi = std::unique_ptr<gcry_mpi, Deleter<gcry_mpi_t, gcry_mpi_release>>;
using Point = std::unique_ptr<gcry_mpi_point, Deleter<gcry_mpi_point_t, gcry_mpi_point_release>>;
using Context = std::unique_ptr<gcry_context, Deleter<gcry_ctx_t, gcry_ctx_release>>;
using Md = std::unique_ptr<gcry_md_handle, Deleter<gcry_md_hd_t, free_md>>;

Md open_md(int algo) {
  ensure_initialised();
  gcry_md_hd_t h = nullptr;
  if (gcry_md_open(&h, algo, 0) != 0) std::abort();
  return Md(h);
}

// Encodings of the points of small order, as libsodium lists them; the sign
// bit is ignored when comparing.
constexpr std::uint8_t kSmallOrder[][32] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
};

// The group order L, little-endian.
constexpr std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                     0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

bool has_small_order(const std::uint8_t* p) {
  for (const auto& bad : kSmallOrder) {
    bool same = (p[31] & 0x7f) == bad[31];
    for (int i = 0; i < 31 && same; ++i) same = p[i] == bad[i];
    if (same) return true;
  }
  return false;
}

// y < p, with p = 2^255 - 19.
bool point_is_canonical(const std::uint8_t* p) {
  if ((p[31] & 0x7f) != 0x7f) return true;
  for (int i = 30; i > 0; --i) {
    if (p[i] != 0xff) return true;
  }
  return p[0] < 0xed;
}

// S < L.
bool scalar_is_canonical(const std::uint8_t* s) {
  for (int i = 31; i >= 0; --i) {
    if (s[i] != kOrder[i]) return s[i] < kOrder[i];
  }
  return false;
}

// A little-endian byte string as an unsigned MPI.
Mpi mpi_from_le(const std::uint8_t* bytes, std::size_t n) {
  std::uint8_t be[64];
  std::reverse_copy(bytes, bytes + n, be);
  gcry_mpi_t m = nullptr;
  if (gcry_mpi_scan(&m, GCRYMPI_FMT_USG, be, n, nullptr) != 0) std::abort();
  return Mpi(m);
}

Point decode_point(const std::uint8_t* encoded, gcry_ctx_t ctx) {
  Mpi value(gcry_mpi_set_opaque_copy(nullptr, encoded, 256));
  Point point(gcry_mpi_point_new(0));
  if (!value || gcry_mpi_ec_decode_point(point.get(), value.get(), ctx) != 0) return nullptr;
  return point;
}

}  // namespace

bool ed25519_encodings_acceptable(const Ed25519PublicKey& key, const Ed25519Signature& signature) {
  return point_is_canonical(key.data()) && !has_small_order(key.data()) &&
         point_is_canonical(signature.data()) && !has_small_order(signature.data()) &&
         scalar_is_canonical(signature.data() + 32);
}

bool ed25519_verify(const Ed25519PublicKey& key, std::span<const std::uint8_t> message,
                    const Ed25519Signature& signature) {
  if (!ed25519_encodings_acceptable(key, signature) || message.size() > 32768) return false;
  ensure_initialised();
  gcry_sexp_t raw = nullptr;
  if (gcry_sexp_build(&raw, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      static_cast<int>(key.size()), key.data()) != 0)
    return false;
  const Sexp pub(raw);
  if (gcry_sexp_build(&raw, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(message.size()), message.data()) != 0)
    return false;
  const Sexp data(raw);
  if (gcry_sexp_build(&raw, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32, signature.data(), 32,
                      signature.data() + 32) != 0)
    return false;
  const Sexp sig(raw);
  return gcry_pk_verify(sig.get(), data.get(), pub.get()) == 0;
}

// The secret key as libgcrypt takes it: without q, it derives the public
// key from the seed itself.
Sexp secret_key(const Ed25519Seed& seed) {
  gcry_sexp_t raw = nullptr;
  if (gcry_sexp_build(&raw, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (d %b)))",
                      static_cast<int>(seed.size()), seed.data()) != 0)
    return nullptr;
  return Sexp(raw);
}

std::optional<Ed25519PublicKey> ed25519_public_key(const Ed25519Seed& seed) {
  ensure_initialised();
  const Sexp key = secret_key(seed);
  if (!key) return std::nullopt;
  gcry_ctx_t raw_ctx = nullptr;
  if (gcry_mpi_ec_new(&raw_ctx, key.get(), nullptr) != 0) return std::nullopt;
  const Context ctx(raw_ctx);
  // libgcrypt derives Q from d and encodes it the EdDSA way.
  const Mpi q(gcry_mpi_ec_get_mpi("q@eddsa", ctx.get(), 1));
  unsigned int bits = 0;
  const void* bytes = q ? gcry_mpi_get_opaque(q.get(), &bits) : nullptr;
  if (bytes == nullptr || bits != 256) return std::nullopt;
  Ed25519PublicKey out{};
  std::memcpy(out.data(), bytes, out.size());
  return out;
}

std::optional<Ed25519Signature> ed25519_sign(const Ed25519Seed& seed,
                                             std::span<const std::uint8_t> message) {
  if (message.size() > 32768) return std::nullopt;
  ensure_initialised();
  const Sexp key = secret_key(seed);
  if (!key) return std::nullopt;
  gcry_sexp_t raw = nullptr;
  if (gcry_sexp_build(&raw, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(message.size()), message.data()) != 0)
    return std::nullopt;
  const Sexp data(raw);
  if (gcry_pk_sign(&raw, data.get(), key.get()) != 0) return std::nullopt;
  const Sexp sig(raw);

  Ed25519Signature out{};
  const std::pair<const char*, std::size_t> parts[] = {{"r", 0}, {"s", 32}};
  for (const auto& [name, offset] : parts) {
    const Sexp part(gcry_sexp_find_token(sig.get(), name, 0));
    std::size_t length = 0;
    const char* bytes = part ? gcry_sexp_nth_data(part.get(), 1, &length) : nullptr;
    if (bytes == nullptr || length != 32) return std::nullopt;
    std::memcpy(out.data() + offset, bytes, 32);
  }
  return out;
}

struct Ed25519StreamVerifier::State {
  Ed25519PublicKey key;
  Ed25519Signature signature;
  Md sha512;
};

Ed25519StreamVerifier::Ed25519StreamVerifier(const Ed25519PublicKey& key,
                                             const Ed25519Signature& signature)
    : state_(new State{key, signature, open_md(GCRY_MD_SHA512)}) {
  gcry_md_write(state_->sha512.get(), signature.data(), 32);  // R
  gcry_md_write(state_->sha512.get(), key.data(), key.size());  // A
}

Ed25519StreamVerifier::~Ed25519StreamVerifier() = default;

void Ed25519StreamVerifier::update(std::span<const std::uint8_t> bytes) {
  gcry_md_write(state_->sha512.get(), bytes.data(), bytes.size());
}

bool Ed25519StreamVerifier::finish() {
  const auto& sig = state_->signature;
  if (!ed25519_encodings_acceptable(state_->key, sig)) return false;

  gcry_ctx_t raw_ctx = nullptr;
  if (gcry_mpi_ec_new(&raw_ctx, nullptr, "Ed25519") != 0) return false;
  const Context ctx(raw_ctx);
  const Point a = decode_point(state_->key.data(), ctx.get());
  const Point r = decode_point(sig.data(), ctx.get());
  if (!a || !r) return false;
  const Point g(gcry_mpi_ec_get_point("g", ctx.get(), 1));
  const Mpi n(gcry_mpi_ec_get_mpi("n", ctx.get(), 1));

  const Mpi s = mpi_from_le(sig.data() + 32, 32);
  const Mpi k = mpi_from_le(gcry_md_read(state_->sha512.get(), GCRY_MD_SHA512), 64);
  gcry_mpi_mod(k.get(), k.get(), n.get());

  const Point left(gcry_mpi_point_new(0));
  gcry_mpi_ec_mul(left.get(), s.get(), g.get(), ctx.get());
  const Point right(gcry_mpi_point_new(0));
  gcry_mpi_ec_mul(right.get(), k.get(), a.get(), ctx.get());
  gcry_mpi_ec_add(right.get(), right.get(), r.get(), ctx.get());

  const Mpi lx(gcry_mpi_new(0)), ly(gcry_mpi_new(0)), rx(gcry_mpi_new(0)), ry(gcry_mpi_new(0));
  if (gcry_mpi_ec_get_affine(lx.get(), ly.get(), left.get(), ctx.get()) != 0 ||
      gcry_mpi_ec_get_affine(rx.get(), ry.get(), right.get(), ctx.get()) != 0)
    return false;
  return gcry_mpi_cmp(lx.get(), rx.get()) == 0 && gcry_mpi_cmp(ly.get(), ry.get()) == 0;
}

struct Blake2b512::State {
  Md md;
};

Blake2b512::Blake2b512() : state_(new State{open_md(GCRY_MD_BLAKE2B_512)}) {}

Blake2b512::~Blake2b512() = default;

void Blake2b512::update(std::span<const std::uint8_t> bytes) {
  gcry_md_write(state_->md.get(), bytes.data(), bytes.size());
}

Blake2b512Digest Blake2b512::finish() {
  Blake2b512Digest out{};
  std::memcpy(out.data(), gcry_md_read(state_->md.get(), GCRY_MD_BLAKE2B_512), out.size());
  return out;
}

Sha256Digest sha256(std::string_view bytes) {
  ensure_initialised();
  Sha256Digest out{};
  gcry_md_hash_buffer(GCRY_MD_SHA256, out.data(), bytes.data(), bytes.size());
  return out;
}

Blake2b256Digest blake2b256(std::span<const std::uint8_t> bytes) {
  ensure_initialised();
  Blake2b256Digest out{};
  gcry_md_hash_buffer(GCRY_MD_BLAKE2B_256, out.data(), bytes.data(), bytes.size());
  return out;
}

bool scrypt(std::string_view password, std::span<const std::uint8_t> salt, std::uint64_t cost,
            std::uint32_t parallelism, std::span<std::uint8_t> out) {
  ensure_initialised();
  // libgcrypt takes N as an int and always uses r = 8.
  if (cost < 2 || cost > 0x40000000 || parallelism == 0) return false;
  return gcry_kdf_derive(password.data(), password.size(), GCRY_KDF_SCRYPT, static_cast<int>(cost),
                         salt.data(), salt.size(), parallelism, out.size(), out.data()) == 0;
}

void wipe(std::span<std::uint8_t> bytes) {
  volatile std::uint8_t* p = bytes.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
}

}  // namespace nuvo::crypto
