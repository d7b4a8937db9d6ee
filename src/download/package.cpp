#include "download/package.h"

#include <system_error>
#include <thread>

#include "download/download_loop.h"
#include "download/resume_state.h"
#include "signature/signature.h"

namespace nuvo {
namespace {

// Flushes an open file on a thread of its own until wait() (inline when no
// thread can be started); nothing to do for a file that is not open.
class Flush {
 public:
  explicit Flush(CacheFile& file) : file_(file) {
    if (!file.valid()) return;
    try {
      thread_ = std::thread([this] { result_ = file_.flush(); });
    } catch (const std::system_error&) {
      result_ = file.flush();
    }
  }
  Flush(const Flush&) = delete;
  Flush& operator=(const Flush&) = delete;
  ~Flush() { (void)wait(); }

  SetupResult<void> wait() {
    if (thread_.joinable()) thread_.join();
    return result_;
  }

 private:
  CacheFile& file_;
  SetupResult<void> result_;
  std::thread thread_;  // last: starts once the members it uses exist
};

class Run {
 public:
  Run(ChannelClient& client, const std::atomic<bool>& cancel, const ProgressSink& progress,
      const PackageOptions& options)
      : client_(client), cancel_(cancel), progress_(progress), options_(options) {}

  SetupResult<VerifiedPackage> run() {
    if (cancel_.load()) return fail(SetupErrorKind::DownloadCancelled);
    auto lock = open_cache(client_.cache_dir);
    if (!lock) return Failure{std::move(lock).error()};
    report(Stage::Resolving, 0, std::nullopt);

    auto release = fetch_release(*client_.http, client_.settings, cancel_);
    if (!release) return Failure{std::move(release).error()};
    version_ = release->version;

    auto paths = release_paths(client_.cache_dir, release->version, release->installer_url.href(),
                               release->signature_text);
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

  // A NuvoInstaller.exe that still verifies is used as it is; one that does
  // not is deleted. Empty when there is nothing to reuse.
  SetupResult<std::optional<CacheFile>> reuse(const Release& release, const ReleasePaths& paths) {
    if (auto r = check_not_link(paths.installer); !r) return Failure{r.error()};
    if (!file_size(paths.installer)) return std::optional<CacheFile>();

    auto file = open_file_read(paths.installer);
    if (!file) return Failure{std::move(file).error()};
    const auto size = file->size();
    if (!size) return Failure{size.error()};
    report(Stage::Verifying, *size, *size);

    auto verified = verify_file(release.signature, paths.installer, cancel_);
    if (verified) return std::optional<CacheFile>(std::move(file).value());
    if (verified.error().kind == SetupErrorKind::DownloadCancelled) return Failure{verified.error()};
    file->close();  // before deleting it
    if (auto r = delete_file(paths.installer); !r) return Failure{r.error()};
    return std::optional<CacheFile>();
  }

  // Downloads, verifies, moves into place and verifies again.
  SetupResult<CacheFile> download(const Release& release, const ReleasePaths& paths) {
    CacheFile last_body;  // the body that completed the part, not yet flushed
    DownloadJob job{
        *client_.http, client_.settings.repository, release.installer_url, paths, version_, cancel_,
        progress_,     options_.download_deadline};
    job.unflushed_part = &last_body;
    if (auto r = download_installer(job); !r) return Failure{r.error()};

    const auto size = file_size(paths.part);
    if (!size) return fail(SetupErrorKind::StorageFailed, "size of the finished part");
    report(Stage::Verifying, *size, *size);
    // The last flush runs beside the first check; the part moves only after both.
    Flush flushed(last_body);
    auto verified = verify_file(release.signature, paths.part, cancel_);
    const auto stored = flushed.wait();
    last_body.close();
    if (!verified) {
      if (verified.error().kind == SetupErrorKind::DownloadCancelled)
        return Failure{verified.error()};
      // A finished file that fails its check is never kept.
      if (auto reset = reset_partial(paths.part, paths.state); !reset) return Failure{reset.error()};
      return Failure{verified.error()};
    }
    if (!stored) return Failure{stored.error()};
    if (cancel_.load()) return fail(SetupErrorKind::DownloadCancelled);

    if (auto r = finalize(paths); !r) return Failure{r.error()};
    auto file = open_file_read(paths.installer);
    if (!file) return Failure{std::move(file).error()};
    if (auto r = verify_file(release.signature, paths.installer, cancel_); !r)
      return Failure{r.error()};
    return std::move(file).value();
  }

  static SetupResult<void> finalize(const ReleasePaths& paths) {
    const auto storage = [](const SetupError& e) {
      return fail(SetupErrorKind::StorageFailed, e.detail);
    };
    if (auto r = check_not_link(paths.installer); !r) return storage(r.error());
    if (auto r = check_not_link(paths.part); !r) return storage(r.error());
    if (file_size(paths.installer)) {
      if (auto r = delete_file(paths.installer); !r) return storage(r.error());
    }
    if (auto r = move_file(paths.part, paths.installer); !r) return storage(r.error());
    if (file_size(paths.state)) {
      if (auto r = delete_file(paths.state); !r) return storage(r.error());
    }
    return {};
  }

  ChannelClient& client_;
  const std::atomic<bool>& cancel_;
  const ProgressSink& progress_;
  const PackageOptions& options_;
  std::string version_;
};

}  // namespace

SetupResult<VerifiedPackage> prepare_package(ChannelClient& client, const std::atomic<bool>& cancel,
                                             const ProgressSink& progress,
                                             const PackageOptions& options) {
  return Run(client, cancel, progress, options).run();
}

}  // namespace nuvo
