#include "signature/signature.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "signature/base64.h"

namespace nuvo {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::string_view kVersionField = "version:";

auto invalid() { return fail(SetupErrorKind::SignatureInvalid); }

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

template <std::size_t N>
void copy_bytes(std::array<std::uint8_t, N>& out, std::string_view from) {
  std::memcpy(out.data(), from.data(), N);
}

std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Exactly one tab-separated field starting with "version:" naming `expected`.
bool names_version(std::string_view trusted_comment, std::string_view expected) {
  std::optional<std::string_view> found;
  std::size_t count = 0;
  for (;;) {
    const std::size_t tab = trusted_comment.find('\t');
    const std::string_view field = trusted_comment.substr(0, tab);
    if (field.starts_with(kVersionField)) {
      ++count;
      found = field.substr(kVersionField.size());
    }
    if (tab == std::string_view::npos) break;
    trusted_comment.remove_prefix(tab + 1);
  }
  return count == 1 && *found == expected;
}

bool global_signature_ok(const PreparedSignature& s) {
  std::string signed_bytes(reinterpret_cast<const char*>(s.signature.data()), s.signature.size());
  signed_bytes += s.trusted_comment;
  return crypto::ed25519_verify(s.public_key.key, as_bytes(signed_bytes), s.global_signature);
}

}  // namespace

std::vector<std::string_view> split_minisign_lines(std::string_view text) {
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r' && lf != std::string_view::npos) line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

SetupResult<PublicKey> parse_public_key(std::string_view text) {
  const auto decoded = decode_base64_envelope(text, kMaxPublicKeyTextSize);
  if (!decoded) return invalid();
  const auto lines = split_minisign_lines(*decoded);
  if (lines.size() != 2 || !lines[0].starts_with(kUntrustedPrefix)) return invalid();
  const auto key = decode_base64(lines[1]);
  if (!key || key->size() != 42 || (*key)[0] != 'E' || ((*key)[1] != 'd' && (*key)[1] != 'D'))
    return invalid();
  PublicKey out;
  copy_bytes(out.key_id, std::string_view(*key).substr(2, 8));
  copy_bytes(out.key, std::string_view(*key).substr(10, 32));
  out.untrusted_comment = std::string(lines[0].substr(kUntrustedPrefix.size()));
  return out;
}

SetupResult<PreparedSignature> prepare_signature(std::string_view signature_text,
                                                 std::string_view public_key_text,
                                                 std::string_view expected_version) {
  const auto decoded = decode_base64_envelope(signature_text, kMaxSignatureTextSize);
  if (!decoded) return invalid();
  const auto lines = split_minisign_lines(*decoded);
  if (lines.size() != 4 || !lines[0].starts_with(kUntrustedPrefix) ||
      !lines[2].starts_with(kTrustedPrefix))
    return invalid();

  const auto sig = decode_base64(lines[1]);
  const auto global = decode_base64(lines[3]);
  if (!sig || !global) return invalid();
  if (sig->size() != 74 || (*sig)[0] != 'E' || ((*sig)[1] != 'd' && (*sig)[1] != 'D'))
    return invalid();
  if (global->size() != 64) return invalid();

  PreparedSignature out;
  out.trusted_comment = std::string(lines[2].substr(kTrustedPrefix.size()));
  if (!names_version(out.trusted_comment, expected_version))
    return fail(SetupErrorKind::SignedVersionMismatch);

  out.algorithm = {(*sig)[0], (*sig)[1]};
  out.prehashed = (*sig)[1] == 'D';
  copy_bytes(out.key_id, std::string_view(*sig).substr(2, 8));
  copy_bytes(out.signature, std::string_view(*sig).substr(10, 64));
  copy_bytes(out.global_signature, *global);

  auto key = parse_public_key(public_key_text);
  if (!key) return Failure{std::move(key).error()};
  out.public_key = std::move(key).value();
  return out;
}

SetupResult<void> verify_stream(const PreparedSignature& s, ByteReader& reader, std::uint64_t size,
                                const std::atomic<bool>& cancel) {
  if (size == 0 || size > kMaxPackageSize) return fail(SetupErrorKind::InvalidPackageSize);
  if (s.prehashed && s.key_id != s.public_key.key_id) return invalid();

  // Prehashed signatures cover the BLAKE2b-512 digest of the file, streamed
  // through one buffer; legacy ones the bytes themselves, which are checked in
  // one piece and so gathered in memory first (at most 512 MiB).
  std::optional<crypto::Blake2b512> digest;
  std::unique_ptr<std::uint8_t[]> whole;
  if (s.prehashed) {
    digest.emplace();
  } else {
    whole.reset(new (std::nothrow) std::uint8_t[size]);
    if (!whole) return fail(SetupErrorKind::InvalidPackageSize);
  }
  if (cancel.load()) return fail(SetupErrorKind::DownloadCancelled);

  std::vector<std::uint8_t> buffer(kVerifyBlockSize);
  std::uint64_t total = 0;
  for (;;) {
    // A legacy file is read straight into its place; what comes past the
    // announced size only counts.
    std::span<std::uint8_t> into = buffer;
    if (whole && total < size)
      into = {whole.get() + total, std::min<std::uint64_t>(kVerifyBlockSize, size - total)};
    auto got = reader.read(into);
    if (!got) return fail(SetupErrorKind::StorageFailed, got.error().display());
    if (*got == 0) break;
    total += *got;
    if (total > kMaxPackageSize) return fail(SetupErrorKind::InvalidPackageSize);
    if (digest) digest->update(into.first(*got));
    if (cancel.load()) return fail(SetupErrorKind::DownloadCancelled);
  }

  if (total != size || cancel.load()) {
    return fail(cancel.load() ? SetupErrorKind::DownloadCancelled
                              : SetupErrorKind::InvalidPackageSize);
  }
  const bool signature_ok =
      digest ? crypto::ed25519_verify(s.public_key.key, digest->finish(), s.signature)
             : s.key_id == s.public_key.key_id &&
                   crypto::ed25519_verify(s.public_key.key, {whole.get(), size}, s.signature);
  if (!signature_ok || !global_signature_ok(s)) return invalid();
  return {};
}

SetupResult<void> verify_file(const PreparedSignature& s, std::string_view path,
                              const std::atomic<bool>& cancel) {
  auto file = ReadOnlyFile::open(path);
  if (!file) return fail(SetupErrorKind::StorageFailed, file.error().display());
  const auto size = file->size();
  if (!size) return fail(SetupErrorKind::StorageFailed, size.error().display());
  return verify_stream(s, *file, *size, cancel);
}

}  // namespace nuvo
