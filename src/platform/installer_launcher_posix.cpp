// POSIX stand-in for the elevated installer launch: a plain child process.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/installer_launcher.h"
#include "platform/scoped_handle.h"

extern char** environ;

namespace nuvo {
namespace {

constexpr std::uint32_t kSignalExitBase = 128;  // how shells report a death by signal

class SpawnedInstaller final : public InstallerProcess {
 public:
  explicit SpawnedInstaller(pid_t pid) : pid_(pid) {}

  bool wait() override {
    int status = 0;
    for (;;) {
      if (::waitpid(pid_, &status, 0) == pid_) break;
      if (errno != EINTR) return false;
    }
    if (WIFEXITED(status)) {
      exit_code_ = static_cast<std::uint32_t>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      exit_code_ = kSignalExitBase + static_cast<std::uint32_t>(WTERMSIG(status));
    } else {
      return false;
    }
    reaped_ = true;
    return true;
  }

  Result<std::uint32_t, std::uint32_t> exit_code() override {
    if (!reaped_) return Failure{static_cast<std::uint32_t>(ECHILD)};
    return exit_code_;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
  std::uint32_t exit_code_ = 0;
};

// posix_spawn's file actions, destroyed on every path.
class FileActions {
 public:
  FileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~FileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

// Windows starts any verified file; here a program needs its owner's execute
// bit, which the cache does not give the files it writes.
void make_runnable(const std::string& program) {
  const FileHandle file(::open(program.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  const int fd = static_cast<int>(file.get());
  if (file.valid() && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) == 0)
    static_cast<void>(::fchmod(fd, (st.st_mode & 07777) | S_IXUSR));
}

class PosixInstallerLauncher final : public InstallerLauncher {
 public:
  // The name Linux keeps for the open file; POSIX has no sharing modes to
  // keep it there, so the name must still lead to the very file, not to a
  // link or another file put in its place.
  Result<std::string, OsError> canonical_path(const FileHandle& file) override {
    const int fd = static_cast<int>(file.get());
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string name(PATH_MAX, '\0');
    const ssize_t n = ::readlink(link.c_str(), name.data(), name.size());
    if (n < 0) return Failure{last_os_error()};
    if (static_cast<std::size_t>(n) == name.size())
      return Failure{os_error_from_code(ENAMETOOLONG)};
    name.resize(static_cast<std::size_t>(n));
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) != 0) return Failure{last_os_error()};
    if (name.empty() || name.front() != '/' || ::lstat(name.c_str(), &named) != 0 ||
        named.st_dev != held.st_dev || named.st_ino != held.st_ino)
      return Failure{os_error_from_code(ENOENT)};
    return name;
  }

  std::int32_t initialize_com() override { return 0; }
  void uninitialize_com() override {}

  ShellLaunch start_elevated(const LaunchRequest& request) override {
    ShellLaunch launch;
    const std::string& program = request.file;
    const std::string& cwd = request.directory;
    FileActions actions;
    if (!actions.ok()) {
      launch.last_error = ENOMEM;
      return launch;
    }
    make_runnable(program);
    int rc = ::posix_spawn_file_actions_addchdir_np(actions.get(), cwd.c_str());
    pid_t pid = 0;
    if (rc == 0) {
      char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
      rc = ::posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv, environ);
    }
    if (rc != 0) {
      launch.last_error = static_cast<std::uint32_t>(rc);
      return launch;
    }
    launch.ok = true;
    launch.process = std::make_unique<SpawnedInstaller>(pid);
    return launch;
  }

  // The codes arrive as Windows would have them: errno values wrapped as HRESULTs.
  std::string describe(std::uint32_t code) override {
    if ((code >> 16) == 0x8007u) code &= 0xFFFFu;
    if (code == 0 || code > static_cast<std::uint32_t>(INT_MAX)) return {};
    return std::strerror(static_cast<int>(code));
  }
};

}  // namespace

std::unique_ptr<InstallerLauncher> system_installer_launcher() {
  return std::make_unique<PosixInstallerLauncher>();
}

}  // namespace nuvo
