#include "release/check.h"

#include <atomic>

#include "download/package.h"
#include "manifest/manifest.h"
#include "platform/cache_fs.h"
#include "platform/work_dir.h"
#include "release/files.h"
#include "signature/base64.h"

namespace nuvo::release {
namespace {

void passed(const LineSink& out, std::string_view rule) { out(std::string(rule) + ": ok"); }

void refused(const LineSink& out, std::string_view rule, std::string_view why) {
  out(std::string(rule) + ": REFUSED: " + std::string(why));
}

RuleObserver report_rules(const LineSink& out) {
  return [&out](ManifestRule rule, const SetupError* error) {
    if (error == nullptr) {
      passed(out, manifest_rule_name(rule));
    } else {
      refused(out, manifest_rule_name(rule), error->message());
    }
  };
}

}  // namespace

bool check_release_files(std::string_view dir, const ChannelSettings& settings,
                         const LineSink& out) {
  const std::string manifest_path = join_path(dir, kManifestFileName);
  // One byte more than the limit, so that the size rule sees an oversized file.
  auto body = read_small_file(manifest_path, kMaxManifestSize + 1);
  if (!body) {
    refused(out, kManifestFileName, body.error());
    return false;
  }
  auto release = release_from_manifest(*body, settings, report_rules(out));
  if (!release) return false;

  // Not read by NuvoSetup, but what a person checks with minisign -V.
  const std::string installer = join_path(dir, installer_file_name(release->version));
  const std::string signature_file = installer + ".minisig";
  auto signature = read_small_file(signature_file, kMaxSignatureTextSize);
  const auto published = decode_base64_envelope(release->signature_text, kMaxSignatureTextSize);
  if (!signature || !published || *signature != *published) {
    refused(out, "signature file",
            signature ? "differs from the signature in latest.json" : signature.error());
    return false;
  }
  passed(out, "signature file");

  if (!file_size(installer)) {
    refused(out, "installer", installer + " is missing");
    return false;
  }
  const std::atomic<bool> never_cancelled{false};
  if (auto r = verify_file(release->signature, installer, never_cancelled); !r) {
    refused(out, "installer", r.error().message());
    return false;
  }
  passed(out, "installer");
  out("accepted: NuvoSetup would install version " + release->version);
  return true;
}

bool check_channel_online(const LineSink& out) {
  auto temp = TempDirectory::create();
  if (!temp) {
    refused(out, "temporary cache", temp.error().display());
    return false;
  }
  auto client = make_channel_client(builtin_channel_settings(), join_path(temp->path(), "cache"));
  if (!client) {
    refused(out, "channel settings", client.error().message());
    return false;
  }
  passed(out, "channel settings");

  // Where the run stopped tells which rule failed.
  enum class Reached { Request, ManifestFailed, ManifestPassed, Verifying };
  Reached reached = Reached::Request;
  const RuleObserver rules = report_rules(out);
  PackageOptions options;
  options.manifest_rules = [&](ManifestRule rule, const SetupError* error) {
    rules(rule, error);
    if (error != nullptr) {
      reached = Reached::ManifestFailed;
    } else if (rule == ManifestRule::Signature) {
      reached = Reached::ManifestPassed;
    }
  };
  const ProgressSink progress = [&reached](const DownloadProgress& p) {
    if (p.stage == Stage::Verifying && reached == Reached::ManifestPassed)
      reached = Reached::Verifying;
  };
  const std::atomic<bool> never_cancelled{false};
  std::string version;
  {
    auto package = prepare_package(*client, never_cancelled, progress, options);
    if (!package) {
      const std::string_view message = package.error().message();
      switch (reached) {
        case Reached::Request:
          refused(out, "manifest request", message);
          break;
        case Reached::ManifestFailed:
          break;  // the rule has said so
        case Reached::ManifestPassed:
          refused(out, "installer download", message);
          break;
        case Reached::Verifying:
          passed(out, "installer download");
          refused(out, "installer", message);
          break;
      }
      return false;
    }
    version = package->version;
  }  // the package holds the cache open: released before the folder goes
  passed(out, "installer download");
  passed(out, "installer");
  out("accepted: NuvoSetup would install version " + version);
  return true;
}

}  // namespace nuvo::release
