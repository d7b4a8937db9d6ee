#include "signature/signer.h"

#include <vector>

#include "signature/base64.h"

namespace nuvo {
namespace {

// Larger than the verifier's blocks: fewer reads, and still a fixed, small buffer.
constexpr std::size_t kDigestBlockSize = 1 << 20;

std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

SetupResult<crypto::Blake2b512Digest> digest_stream(ByteReader& reader, std::uint64_t limit) {
  crypto::Blake2b512 digest;
  std::vector<std::uint8_t> buffer(kDigestBlockSize);
  std::uint64_t total = 0;
  for (;;) {
    auto got = reader.read(buffer);
    if (!got) return fail(SetupErrorKind::StorageFailed, got.error().display());
    if (*got == 0) break;
    total += *got;
    if (total > limit) return fail(SetupErrorKind::InvalidPackageSize);
    digest.update(std::span<const std::uint8_t>(buffer).first(*got));
  }
  return digest.finish();
}

std::optional<std::string> sign_digest(const SecretKey& key, const crypto::Blake2b512Digest& digest,
                                       std::string_view trusted_comment) {
  if (trusted_comment.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
  const auto signature = crypto::ed25519_sign(key.seed, digest);
  std::string global_message(as_text(signature));
  global_message += trusted_comment;
  const auto global = crypto::ed25519_sign(key.seed, as_bytes(global_message));
  if (!crypto::ed25519_verify(key.public_key, digest, signature) ||
      !crypto::ed25519_verify(key.public_key, as_bytes(global_message), global))
    return std::nullopt;

  std::string line2 = "ED";
  line2 += as_text(key.key_id);
  line2 += as_text(signature);
  std::string text = "untrusted comment: ";
  text += kSignerUntrustedComment;
  text += '\n';
  text += encode_base64(line2);
  text += "\ntrusted comment: ";
  text += trusted_comment;
  text += '\n';
  text += encode_base64(as_text(global));
  text += '\n';
  return text;
}

}  // namespace nuvo
