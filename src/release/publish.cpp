#include "release/publish.h"

#include <atomic>
#include <optional>
#include <vector>

#include "channel_config.h"
#include "common/limits.h"
#include "manifest/manifest.h"
#include "platform/cache_fs.h"
#include "platform/file.h"
#include "platform/work_dir.h"
#include "release/files.h"
#include "release/signing.h"
#include "signature/base64.h"
#include "signature/signer.h"

namespace nuvo::release {
namespace {

using Text = Result<void, std::string>;

Failure<std::string> error(std::string text) { return Failure{std::move(text)}; }

// Copies the installer into `to`, hashing exactly the bytes written.
Result<crypto::Blake2b512Digest, std::string> copy_and_digest(ReadOnlyFile& from,
                                                              const std::string& to) {
  if (file_size(to)) {
    if (auto r = delete_file(to); !r) return error(r.error().detail);
  }
  auto file = open_file_write(to, false);
  if (!file) return error(file.error().detail);
  crypto::Blake2b512 digest;
  std::vector<std::uint8_t> buffer(kVerifyBlockSize);
  std::uint64_t total = 0;
  for (;;) {
    auto got = from.read(buffer);
    if (!got) return error("reading the installer: " + got.error().display());
    if (*got == 0) break;
    total += *got;
    if (total > kMaxPackageSize) return error("the installer grew past 512 MiB while read");
    const auto block = std::span<const std::uint8_t>(buffer).first(*got);
    if (auto r = file->write_all(block); !r) return error(r.error().detail);
    digest.update(block);
  }
  if (auto r = file->flush(); !r) return error(r.error().detail);
  return digest.finish();
}

// The folder may be new, or hold this very release (the same version and
// the same installer bytes), which is then replaced; anything else is
// another release and stays untouched. First the version, before anything is
// written, then the installer bytes, once ours are known.
Text check_folder_version(const std::string& dir, std::string_view version) {
  const std::string manifest_path = join_path(dir, kManifestFileName);
  if (file_size(manifest_path)) {
    auto text = read_small_file(manifest_path, kMaxManifestSize);
    const auto manifest = text ? decode_manifest(*text) : std::nullopt;
    if (!manifest || manifest->version != version)
      return error(dir + " holds a different release (" +
                   (manifest ? "version " + manifest->version : "an unreadable latest.json") +
                   "); publish into a new folder");
  }
  return {};
}

Text check_folder_installer(const std::string& dir, std::string_view version,
                            const crypto::Blake2b512Digest& digest) {
  const std::string installer = join_path(dir, installer_file_name(version));
  if (file_size(installer)) {
    auto existing = ReadOnlyFile::open(installer);
    if (!existing) return error(installer + ": " + existing.error().display());
    auto theirs = digest_stream(*existing, kMaxPackageSize);
    if (!theirs || *theirs != digest)
      return error(dir + " holds a different installer for version " + std::string(version) +
                   "; publish into a new folder");
  }
  return {};
}

}  // namespace

Result<void, std::string> run_publish(const command::Publish& args, const LineSink& out) {
  // The cheap rules first, before anything is read or written.
  if (auto r = check_version_argument(args.version); !r) return r;
  const std::string file_name = installer_file_name(args.version);
  const std::string url = "https://" + std::string(config::kReleaseHost) +
                          installer_path_prefix(kRepository, args.version) + file_name;
  if (auto r = check_installer_url(url, kRepository, args.version); !r)
    return error("the installer URL " + url +
                 " breaks NuvoSetup's URL rule: " + std::string(r.error().message()));

  auto installer = ReadOnlyFile::open(args.installer);
  if (!installer) return error(args.installer + ": " + installer.error().display());
  const auto size = installer->size();
  if (!size) return error(args.installer + ": " + size.error().display());
  if (auto r = check_installer_size(*size); !r) return r;

  auto key = load_secret_key(args.key);
  if (!key) return error(std::move(key).error());
  if (!matches_builtin_key(*key)) return error(builtin_key_mismatch_message(*key));

  auto dir = absolute_path(args.out_dir);
  if (!dir) return error(args.out_dir + ": " + dir.error().display());
  if (auto r = check_folder_version(*dir, args.version); !r) return r;
  if (auto r = ensure_directory(*dir); !r) return error(r.error().detail);

  // Everything is written aside first and moved into place at the end.
  StagedFile staged_installer(join_path(*dir, file_name));
  StagedFile staged_signature(staged_installer.final_path() + ".minisig");
  StagedFile staged_manifest(join_path(*dir, kManifestFileName));

  auto digest = copy_and_digest(*installer, staged_installer.path());
  if (!digest) return error(std::move(digest).error());
  if (auto r = check_folder_installer(*dir, args.version, *digest); !r) return r;

  const auto signature =
      sign_digest(*key, *digest, trusted_comment(unix_now(), file_name, args.version));
  if (!signature) return error("the signature could not be made");
  const std::string manifest =
      encode_manifest(args.version, kPlatformKey, Platform{url, encode_base64(*signature)});
  if (auto r = staged_signature.write(*signature); !r) return r;
  if (auto r = staged_manifest.write(manifest); !r) return r;

  // NuvoSetup's own rules over what is about to be published.
  const std::atomic<bool> never_cancelled{false};
  auto release = release_from_manifest(
      manifest, builtin_channel_settings(), [&out](ManifestRule rule, const SetupError* e) {
        out(std::string(manifest_rule_name(rule)) + ": " +
            (e == nullptr ? std::string("ok") : "REFUSED: " + std::string(e->message())));
      });
  if (!release) return error("NuvoSetup would refuse this release");
  if (auto r = verify_file(release->signature, staged_installer.path(), never_cancelled); !r) {
    out("installer: REFUSED: " + std::string(r.error().message()));
    return error("NuvoSetup would refuse this release");
  }
  out("installer: ok");

  // The manifest last: it never names an installer that is not in place.
  for (StagedFile* f : {&staged_installer, &staged_signature, &staged_manifest}) {
    if (auto r = f->commit(); !r) return r;
    out("wrote " + f->final_path());
  }
  return {};
}

}  // namespace nuvo::release
