// The parts of the cache file layer that are the same on every platform.
#include "platform/cache_fs.h"

#include <thread>

#include "platform/os_file.h"

namespace nuvo {
namespace {

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Non-empty components of `rest`; "." is dropped unless taken literally.
std::vector<std::string_view> split(std::string_view rest, std::string_view separators,
                                    bool keep_dots) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= rest.size(); ++i) {
    if (i < rest.size() && separators.find(rest[i]) == std::string_view::npos) continue;
    const std::string_view part = rest.substr(start, i - start);
    if (!part.empty() && (keep_dots || part != ".")) out.push_back(part);
    start = i + 1;
  }
  return out;
}

std::vector<std::string> chain(std::string top, const std::vector<std::string_view>& parts,
                               char separator) {
  std::vector<std::string> out{top};
  std::string current = std::move(top);
  for (const auto part : parts) {
    if (current.back() != separator) current += separator;
    current += part;
    out.push_back(current);
  }
  return out;
}

}  // namespace

std::vector<std::string> windows_path_chain(std::string_view path) {
  // Verbatim paths reach the file system as they are: only '\' separates and
  // "." is a name like any other.
  const bool verbatim = path.starts_with("\\\\?\\");
  const std::string_view body = verbatim ? path.substr(4) : path;
  const std::string_view separators = verbatim ? "\\" : "\\/";
  if (body.size() < 3 || !is_letter(body[0]) || body[1] != ':' ||
      separators.find(body[2]) == std::string_view::npos)
    return {};
  std::string top = std::string(path.substr(0, path.size() - body.size())) +
                    std::string(body.substr(0, 2)) + "\\";
  return chain(std::move(top), split(body.substr(3), separators, verbatim), '\\');
}

std::vector<std::string> posix_path_chain(std::string_view path) {
  if (!path.starts_with('/')) return {};
  return chain("/", split(path, "/", false), '/');
}

SetupResult<CacheLock> open_cache(CacheFs& fs, const std::vector<std::string>& walk,
                                  std::string_view trusted) {
  if (walk.empty()) return fail(SetupErrorKind::ChannelMisconfigured, "no cache path to walk");
  if (!trusted.empty()) {
    if (auto made = fs.create_trusted_directories(trusted); !made) return Failure{made.error()};
  }
  std::vector<CacheDirectory> dirs;
  for (const auto& path : walk) {
    auto dir = fs.ensure_directory(path);
    if (!dir) return Failure{std::move(dir).error()};
    dirs.push_back(std::move(dir).value());
  }
  auto file = fs.lock_file(join_path(walk.back(), kLockFileName));
  if (!file) return Failure{std::move(file).error()};
  return CacheLock(std::move(dirs), std::move(file).value());
}

SetupResult<CacheLock> open_cache(std::string_view root) {
  const auto walk = path_chain(root);
  if (walk.empty())
    return fail(SetupErrorKind::ChannelMisconfigured, "not an absolute path: " + std::string(root));
  return open_cache(os_cache_fs(), walk);
}

CacheLock& CacheLock::operator=(CacheLock&& other) noexcept {
  if (this != &other) {
    close_cache(*this);
    directories = std::move(other.directories);
    other.directories.clear();
    lock_file = std::move(other.lock_file);
  }
  return *this;
}

CacheLock::~CacheLock() { close_cache(*this); }

CacheFile::CacheFile(FileHandle handle) : io_(std::make_unique<OsFile>(std::move(handle))) {}

const FileHandle& CacheFile::handle() const {
  static const FileHandle none;
  const FileHandle* own = io_ ? io_->os_handle() : nullptr;
  return own ? *own : none;
}

namespace {

class OsCacheFs final : public CacheFs {
 public:
  SetupResult<CacheFile> lock_file(std::string_view path) override { return nuvo::lock_file(path); }
  SetupResult<void> check_not_link(std::string_view path) override {
    return nuvo::check_not_link(path);
  }
  SetupResult<CacheDirectory> ensure_directory(std::string_view path) override {
    return nuvo::ensure_directory(path);
  }
  SetupResult<void> create_trusted_directories(std::string_view path) override {
    return nuvo::create_trusted_directories(path);
  }
  SetupResult<CacheFile> open_file_read(std::string_view path) override {
    return nuvo::open_file_read(path);
  }
  SetupResult<CacheFile> open_file_write(std::string_view path, bool append) override {
    return nuvo::open_file_write(path, append);
  }
  SetupResult<void> move_file(std::string_view from, std::string_view to) override {
    return nuvo::move_file(from, to);
  }
  SetupResult<void> delete_file(std::string_view path) override {
    return nuvo::delete_file(path);
  }
  std::optional<std::uint64_t> file_size(std::string_view path) override {
    return nuvo::file_size(path);
  }
  void pause(std::chrono::milliseconds how_long) override {
    std::this_thread::sleep_for(how_long);
  }
};

}  // namespace

CacheFs& os_cache_fs() {
  static OsCacheFs fs;
  return fs;
}

}  // namespace nuvo
