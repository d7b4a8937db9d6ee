#include "download/package.h"

#include "download/cache_path.h"
#include "download/download_loop.h"
#include "download/patience.h"
#include "download/resume_state.h"
#include "signature/signature.h"

namespace nuvo {
namespace {

// A cache file as the signature check reads it; a failed read is kept so the
// run reports the file system's own error.
class CacheFileReader final : public ByteReader {
 public:
  explicit CacheFileReader(CacheFile& file) : file_(file) {}
  Result<std::size_t, OsError> read(std::span<std::uint8_t> buffer) override {
    auto got = file_.read(buffer);
    if (got) return *got;
    error = got.error();
    return Failure{OsError{0, got.error().detail}};
  }
  std::optional<SetupError> error;

 private:
  CacheFile& file_;
};

class Run {
 public:
  Run(ChannelClient& client, const std::atomic<bool>& cancel, const ProgressSink& progress,
      const PackageOptions& options)
      : client_(client),
        cancel_(cancel),
        progress_(progress),
        options_(options),
        fs_(options.fs ? *options.fs : os_cache_fs()) {}

  SetupResult<VerifiedPackage> run() {
    if (cancel_.load()) return fail(SetupErrorKind::DownloadCancelled);
    auto lock = open_cache(fs_, cache_walk(client_.cache_dir, client_.cache_trusted));
    if (!lock) return Failure{std::move(lock).error()};
    report(Stage::Resolving, 0, std::nullopt);

    auto release = fetch_release(*client_.http, client_.settings, cancel_, options_.manifest_rules);
    if (!release) return Failure{std::move(release).error()};
    version_ = release->version;

    auto paths = release_paths(fs_, client_.cache_dir, release->version,
                               release->installer_url.href(), release->signature_text);
    if (!paths) return Failure{std::move(paths).error()};

    auto reused = reuse(*release, *paths);
    if (!reused) return Failure{std::move(reused).error()};
    std::optional<CacheFile> installer = std::move(reused).value();

    if (!installer) {
      auto downloaded = download(*release, *paths);
      if (!downloaded) return Failure{std::move(downloaded).error()};
      installer = std::move(downloaded).value();
    }

    const auto size = installer->size();
    if (!size) return Failure{size.error()};
    report(Stage::Ready, *size, *size);
    return VerifiedPackage{paths->installer, version_, std::move(paths->dir), std::move(*installer),
                           std::move(lock).value()};
  }

 private:
  void report(Stage stage, std::uint64_t done, std::optional<std::uint64_t> total) const {
    if (!progress_) return;
    DownloadProgress p{stage, std::nullopt, done, total};
    if (!version_.empty()) p.version = version_;
    progress_(p);
  }

  // Checks a file through the handle the cache's careful open returned, which
  // the caller keeps: on Windows nobody can change the file while it is open.
  // The check after the move is not reported.
  SetupResult<void> verify(const Release& release, CacheFile& file, bool reported = true) {
    const auto size = file.size();
    if (!size) return Failure{size.error()};
    if (reported) report(Stage::Verifying, *size, *size);
    CacheFileReader reader(file);
    if (auto r = verify_stream(release.signature, reader, *size, cancel_); !r)
      return Failure{reader.error ? *reader.error : r.error()};
    return {};
  }
  // A failed read is the disk's fault, not the file's: the file is kept.
  static bool keeps_file(const SetupError& e) {
    return e.kind == SetupErrorKind::DownloadCancelled || e.kind == SetupErrorKind::StorageFailed;
  }

  // A NuvoInstaller.exe that still verifies is used as it is; one that does
  // not is deleted. Empty when there is nothing to reuse.
  SetupResult<std::optional<CacheFile>> reuse(const Release& release, const ReleasePaths& paths) {
    if (auto r = fs_.check_not_link(paths.installer); !r) return Failure{r.error()};
    if (!fs_.file_size(paths.installer)) return std::optional<CacheFile>();

    auto file = patiently(fs_, cancel_, [&] { return fs_.open_file_read(paths.installer); });
    if (!file) return Failure{std::move(file).error()};
    const auto verified = verify(release, *file);
    if (verified) return std::optional<CacheFile>(std::move(file).value());
    if (keeps_file(verified.error())) return Failure{verified.error()};
    file->close();  // before deleting it
    if (auto r = patiently(fs_, cancel_, [&] { return fs_.delete_file(paths.installer); }); !r)
      return Failure{r.error()};
    return std::optional<CacheFile>();
  }

  // Downloads, verifies, moves into place and verifies again.
  SetupResult<CacheFile> download(const Release& release, const ReleasePaths& paths) {
    const DownloadJob job{*client_.http, client_.settings.repository,
                          release.installer_url, paths,
                          fs_, version_,
                          cancel_, progress_,
                          options_.download_deadline};
    if (auto r = download_installer(job); !r) return Failure{r.error()};

    if (cancel_.load()) return fail(SetupErrorKind::DownloadCancelled);
    {
      auto part = patiently(fs_, cancel_, [&] { return fs_.open_file_read(paths.part); });
      if (!part) return Failure{std::move(part).error()};
      if (auto r = verify(release, *part); !r) {
        if (keeps_file(r.error())) return Failure{r.error()};
        part->close();  // before emptying it
        // A finished file that fails its check is never kept.
        if (auto reset = reset_partial(fs_, cancel_, paths.part, paths.state); !reset)
          return Failure{reset.error()};
        return Failure{r.error()};
      }
    }  // closed before it is moved
    if (cancel_.load()) return fail(SetupErrorKind::DownloadCancelled);

    if (auto r = finalize(paths); !r) return Failure{r.error()};
    auto installer = patiently(fs_, cancel_, [&] { return fs_.open_file_read(paths.installer); });
    if (!installer) return Failure{std::move(installer).error()};
    if (auto r = verify(release, *installer, false); !r) return Failure{r.error()};
    return installer;
  }

  SetupResult<void> finalize(const ReleasePaths& paths) {
    const auto storage = [](const SetupError& e) {
      if (e.kind == SetupErrorKind::DownloadCancelled) return Failure{e};
      return fail(SetupErrorKind::StorageFailed, e.detail);
    };
    const auto settled = [&](auto op) { return patiently(fs_, cancel_, op); };
    if (auto r = fs_.check_not_link(paths.installer); !r) return storage(r.error());
    if (auto r = fs_.check_not_link(paths.part); !r) return storage(r.error());
    if (fs_.file_size(paths.installer)) {
      if (auto r = settled([&] { return fs_.delete_file(paths.installer); }); !r)
        return storage(r.error());
    }
    if (auto r = settled([&] { return fs_.move_file(paths.part, paths.installer); }); !r)
      return storage(r.error());
    if (fs_.file_size(paths.state)) {
      if (auto r = settled([&] { return fs_.delete_file(paths.state); }); !r)
        return storage(r.error());
    }
    return {};
  }

  ChannelClient& client_;
  const std::atomic<bool>& cancel_;
  const ProgressSink& progress_;
  const PackageOptions& options_;
  CacheFs& fs_;
  std::string version_;
};

}  // namespace

SetupResult<VerifiedPackage> prepare_package(ChannelClient& client, const std::atomic<bool>& cancel,
                                             const ProgressSink& progress,
                                             const PackageOptions& options) {
  return Run(client, cancel, progress, options).run();
}

}  // namespace nuvo
