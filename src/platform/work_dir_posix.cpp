// POSIX temporary folders: mkdtemp, and nftw without following links to remove.
#include <ftw.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/work_dir.h"

namespace nuvo {

Result<std::string, OsError> absolute_path(std::string_view path) {
  if (path.starts_with('/')) return std::string(path);
  std::vector<char> cwd(4096);
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE || cwd.size() > (1u << 20)) return Failure{last_os_error()};
    cwd.resize(cwd.size() * 2);
  }
  std::string out(cwd.data());
  if (!out.ends_with('/')) out += '/';
  return out + std::string(path);
}

Result<TempDirectory, OsError> TempDirectory::create() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = base != nullptr && base[0] == '/' ? base : "/tmp";
  pattern += "/nuvo-release-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return Failure{last_os_error()};
  return TempDirectory(std::move(pattern));
}

TempDirectory::~TempDirectory() {
  if (path_.empty()) return;
  ::nftw(
      path_.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return std::remove(p), 0; }, 16,
      FTW_DEPTH | FTW_PHYS);
}

}  // namespace nuvo
