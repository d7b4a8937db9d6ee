#include "release/signing.h"

#include <algorithm>
#include <chrono>

#include "channel_config.h"
#include "common/limits.h"
#include "common/wipe.h"
#include "manifest/channel.h"
#include "platform/console.h"
#include "platform/work_dir.h"
#include "release/files.h"
#include "signature/signer.h"

namespace nuvo::release {
namespace {

constexpr std::size_t kMaxPasswordSize = 1024;

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  // minisign shows key ids as a little-endian number.
  for (std::size_t i = bytes.size(); i-- > 0;) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

Result<std::string, std::string> read_password(const KeyOptions& options) {
  if (options.password_file) {
    // The first line, cut in place: the password stays in the one buffer
    // the file was read into, which the caller wipes.
    auto text = read_small_file(*options.password_file, kMaxPasswordSize);
    if (!text) return text;
    text->resize(std::min(text->size(), text->find('\n')));
    if (text->ends_with('\r')) text->pop_back();
    return text;
  }
  auto line = read_secret_line("Password of the secret key: ", kMaxPasswordSize);
  if (!line) return Failure{"cannot read the password: " + line.error().display()};
  if (!*line) return Failure{std::string("no password: the input ended before the line did")};
  return std::move(**line);
}

}  // namespace

Result<SecretKey, std::string> load_secret_key(const KeyOptions& options) {
  auto text = read_small_file(options.secret_key, kMaxSecretKeyFileSize);
  if (!text) return Failure{"cannot read the secret key: " + text.error()};
  auto sealed = parse_secret_key(*text);
  wipe(*text);
  if (!sealed) return Failure{std::string(secret_key_error_message(sealed.error()))};

  std::string password;
  if (sealed->encrypted) {
    auto read = read_password(options);
    if (!read) return Failure{std::move(read).error()};
    password = std::move(*read);  // the buffer moves, its bytes are not copied
  }
  auto key = open_secret_key(*sealed, password);
  wipe(password);
  if (!key) return Failure{std::string(secret_key_error_message(key.error()))};
  return std::move(key).value();
}

bool matches_builtin_key(const SecretKey& key) {
  const auto builtin = parse_public_key(config::kPublicKey);
  return builtin && builtin->key_id == key.key_id && builtin->key == key.public_key;
}

std::string builtin_key_mismatch_message(const SecretKey& key) {
  const auto builtin = parse_public_key(config::kPublicKey);
  return "the secret key (key id " + hex(key.key_id) +
         ") does not match the public key built into NuvoSetup (key id " +
         (builtin ? hex(builtin->key_id) : std::string("?")) +
         "): NuvoSetup would refuse every signature it makes.";
}

std::string trusted_comment(std::uint64_t unix_seconds, std::string_view file_name,
                            std::string_view version) {
  return "timestamp:" + std::to_string(unix_seconds) + "\tfile:" + std::string(file_name) +
         "\tversion:" + std::string(version);
}

std::uint64_t unix_now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(since).count());
}

Result<void, std::string> check_version_argument(std::string_view version) {
  if (auto r = check_release_version(version); !r) {
    return Failure{
        "version \"" + std::string(version) + "\" breaks NuvoSetup's " +
        std::string(manifest_rule_name(r.error().kind == SetupErrorKind::SignedVersionMismatch
                                           ? ManifestRule::VersionFloor
                                           : ManifestRule::Version)) +
        " rule (X.Y.Z, at least " + std::string(MIN_CHANNEL_VERSION) +
        "): " + std::string(r.error().message())};
  }
  return {};
}

Result<void, std::string> check_installer_size(std::uint64_t size) {
  if (size == 0 || size > kMaxPackageSize)
    return Failure{
        "the installer must be 1 byte to 512 MiB, it is " + std::to_string(size) +
        " bytes: " + std::string(setup_error_message(SetupErrorKind::InvalidPackageSize))};
  return {};
}

Result<std::string, std::string> run_sign(const command::Sign& args) {
  if (auto r = check_version_argument(args.version); !r) return Failure{r.error()};
  auto installer = ReadOnlyFile::open(args.installer);
  if (!installer) return Failure{args.installer + ": " + installer.error().display()};
  const auto size = installer->size();
  if (!size) return Failure{args.installer + ": " + size.error().display()};
  if (auto r = check_installer_size(*size); !r) return Failure{r.error()};

  auto key = load_secret_key(args.key);
  if (!key) return Failure{std::move(key).error()};

  auto digest = digest_stream(*installer, kMaxPackageSize);
  if (!digest) return Failure{args.installer + ": " + digest.error().detail};
  const auto text = sign_digest(
      *key, *digest, trusted_comment(unix_now(), file_name_of(args.installer), args.version));
  if (!text) return Failure{std::string("the file name cannot go into a trusted comment")};

  auto full = absolute_path(args.installer);
  if (!full) return Failure{args.installer + ": " + full.error().display()};
  const std::string out = *full + ".minisig";
  if (auto r = write_file_replacing(out, *text); !r) return Failure{r.error()};
  std::string report = "wrote " + out + "\n";
  if (!matches_builtin_key(*key)) report += "warning: " + builtin_key_mismatch_message(*key) + "\n";
  return report;
}

}  // namespace nuvo::release
