#include "platform/cache_fs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "download/cache_path.h"
#include "download/release_dir.h"
#include "fake_cache_fs.h"
#include "platform/file.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace nuvo {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

constexpr std::string_view kVersion = "1.4.2";
constexpr std::string_view kUrl =
    "https://github.com/nuvo/nuvo/releases/download/v1.4.2/NuvoInstaller.exe";
constexpr std::string_view kSignature = "RWQsig1";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

template <class T>
std::optional<SetupErrorKind> kind_of(const SetupResult<T>& r) {
  if (r) return std::nullopt;
  return r.error().kind;
}

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string read_all(CacheFile& file) {
  std::string out;
  std::uint8_t buffer[3];  // small on purpose: several reads per file
  for (;;) {
    auto got = file.read(buffer);
    if (!got || *got == 0) return out;
    out.append(reinterpret_cast<const char*>(buffer), *got);
  }
}

TEST(CacheFs, PathChainsRunFromTheTopDown) {
  using Chain = std::vector<std::string>;
  const struct {
    std::string path;
    Chain windows;
    Chain posix;
  } cases[] = {
      {"C:\\a\\b", {"C:\\", "C:\\a", "C:\\a\\b"}, {}},
      {"C:\\", {"C:\\"}, {}},
      {"d:/Users/me/cache/", {"d:\\", "d:\\Users", "d:\\Users\\me", "d:\\Users\\me\\cache"}, {}},
      {"C:\\a\\\\.\\b\\", {"C:\\", "C:\\a", "C:\\a\\b"}, {}},
      {"\\\\?\\C:\\a\\b", {"\\\\?\\C:\\", "\\\\?\\C:\\a", "\\\\?\\C:\\a\\b"}, {}},
      // A verbatim path is taken literally: '/' and '.' are parts of names.
      {"\\\\?\\C:\\a/b\\.", {"\\\\?\\C:\\", "\\\\?\\C:\\a/b", "\\\\?\\C:\\a/b\\."}, {}},
      {"\\\\server\\share\\cache", {}, {}},
      {"\\\\?\\UNC\\server\\share", {}, {}},
      {"C:relative", {}, {}},
      {"cache", {}, {}},
      {"/", {}, {"/"}},
      {"/a/b", {}, {"/", "/a", "/a/b"}},
      {"//a///./b/", {}, {"/", "/a", "/a/b"}},
      {"a/b", {}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(windows_path_chain(c.path), c.windows) << c.path;
    EXPECT_EQ(posix_path_chain(c.path), c.posix) << c.path;
  }
}

TEST(CacheLock, FirstRunCreatesTheLayout) {
  ScratchDir scratch;
  const std::string root = scratch.file("NuvoSetup/cache");
  auto lock = open_cache(root);
  ASSERT_TRUE(lock) << lock.error().detail;

  EXPECT_TRUE(fs::is_directory(scratch.file("NuvoSetup")));
  EXPECT_TRUE(fs::is_directory(root));
  EXPECT_TRUE(fs::is_regular_file(scratch.file("NuvoSetup/cache/download.lock")));
  EXPECT_EQ(fs::file_size(scratch.file("NuvoSetup/cache/download.lock")), 0u);
#ifdef _WIN32
  const auto chain = windows_path_chain(root);
#else
  const auto chain = posix_path_chain(root);
#endif
  EXPECT_EQ(lock->directories.size(), chain.size());
  for (const auto& dir : lock->directories) EXPECT_TRUE(dir.valid());
  EXPECT_TRUE(lock->lock_file.valid());

  auto paths = release_paths(os_cache_fs(), root, kVersion, kUrl, kSignature);
  ASSERT_TRUE(paths) << paths.error().detail;
  const std::string release = join_path(root, release_dir_name(kVersion, kUrl, kSignature));
  EXPECT_TRUE(fs::is_directory(release));
  EXPECT_TRUE(paths->dir.valid());
  EXPECT_EQ(paths->part, join_path(release, "installer.part"));
  EXPECT_EQ(paths->installer, join_path(release, "NuvoInstaller.exe"));
  EXPECT_EQ(paths->state, join_path(release, "resume.json"));

  // Released, the lock file stays, still empty; the release directory is reused.
  close_cache(*lock);
  EXPECT_FALSE(lock->lock_file.valid());
  EXPECT_TRUE(lock->directories.empty());
  EXPECT_EQ(fs::file_size(scratch.file("NuvoSetup/cache/download.lock")), 0u);
  EXPECT_TRUE(release_paths(os_cache_fs(), root, kVersion, kUrl, kSignature));
}

TEST(CacheLock, SecondHolderInThisProcessIsBusyUntilReleased) {
  ScratchDir scratch;
  const std::string root = scratch.file("cache");
  const auto busy = [&] { return kind_of(open_cache(root)); };

  auto first = open_cache(root);
  ASSERT_TRUE(first);
  EXPECT_EQ(busy(), SetupErrorKind::DownloadDirBusy);

  // Moving the lock keeps it held; the moved-from value holds nothing.
  CacheLock moved = std::move(first).value();
  EXPECT_EQ(busy(), SetupErrorKind::DownloadDirBusy);
  CacheLock assigned;
  assigned = std::move(moved);
  EXPECT_FALSE(moved.lock_file.valid());
  EXPECT_EQ(busy(), SetupErrorKind::DownloadDirBusy);

  // Releasing twice reports nothing and leaves the cache free.
  close_cache(assigned);
  close_cache(assigned);
  {
    auto again = open_cache(root);
    ASSERT_TRUE(again);
    EXPECT_EQ(busy(), SetupErrorKind::DownloadDirBusy);
  }  // the destructor releases it too
  EXPECT_EQ(busy(), std::nullopt);

  // Assigning over a held lock releases the old one.
  auto held = open_cache(root);
  ASSERT_TRUE(held);
  *held = CacheLock();
  EXPECT_EQ(busy(), std::nullopt);
}

// ---- Another process holding the lock ----------------------------------

constexpr const char* kHolderVariable = "NUVO_TEST_CACHE_HOLDER";
constexpr auto kPatience = std::chrono::seconds(60);

bool wait_for_file(const std::string& path) {
  const auto until = std::chrono::steady_clock::now() + kPatience;
  while (!fs::exists(path)) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Runs one test of this binary in a new process, with kHolderVariable set.
class ChildTest {
 public:
  ChildTest(const std::string& test, const std::string& value) {
    const std::string filter = "--gtest_filter=" + test;
#ifdef _WIN32
    std::wstring exe(32768, L'\0');
    exe.resize(GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size())));
    std::wstring command = L"\"" + exe + L"\" " + std::wstring(filter.begin(), filter.end());
    const std::wstring name(kHolderVariable, kHolderVariable + std::strlen(kHolderVariable));
    SetEnvironmentVariableW(name.c_str(), std::wstring(value.begin(), value.end()).c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    started_ = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info) != 0;
    SetEnvironmentVariableW(name.c_str(), nullptr);
    if (started_) {
      CloseHandle(info.hThread);
      process_ = info.hProcess;
    }
#else
    const std::string exe = fs::read_symlink("/proc/self/exe").string();
    const std::string variable = std::string(kHolderVariable) + "=" + value;
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(const_cast<char*>(variable.c_str()));
    env.push_back(nullptr);
    char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(filter.c_str()), nullptr};
    started_ = posix_spawn(&pid_, exe.c_str(), nullptr, nullptr, argv, env.data()) == 0;
#endif
  }

  bool started() const { return started_; }

  // The exit code, or -1 when the child did not end in time or at all.
  int wait() {
    if (!started_) return -1;
    started_ = false;
#ifdef _WIN32
    DWORD code = 1;
    const bool ended = WaitForSingleObject(process_, 2 * 60 * 1000) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    return ended ? static_cast<int>(code) : -1;
#else
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_ || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
#endif
  }

  ~ChildTest() { (void)wait(); }

 private:
  bool started_ = false;
#ifdef _WIN32
  HANDLE process_ = nullptr;
#else
  pid_t pid_ = 0;
#endif
};

TEST(CacheLock, AnotherProcessIsBusyUntilReleased) {
  ScratchDir scratch;
  const std::string root = scratch.file("cache");
  ChildTest child("CacheLockHolder.HoldsTheCacheForTheParent", scratch.path());
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(wait_for_file(scratch.file("held"))) << "the other process never took the lock";

  EXPECT_EQ(kind_of(open_cache(root)), SetupErrorKind::DownloadDirBusy);

  scratch.write("release", "");
  EXPECT_EQ(child.wait(), 0);
  auto lock = open_cache(root);
  EXPECT_TRUE(lock) << lock.error().detail;
}

// The other side of AnotherProcessIsBusyUntilReleased; does nothing unless
// started by it.
TEST(CacheLockHolder, HoldsTheCacheForTheParent) {
  const char* scratch = std::getenv(kHolderVariable);
  if (scratch == nullptr) GTEST_SKIP() << "runs only as the helper of another test";
  const std::string base(scratch);
  auto lock = open_cache(base + "/cache");
  ASSERT_TRUE(lock) << lock.error().detail;
  std::ofstream(base + "/held").put('1');
  ASSERT_TRUE(wait_for_file(base + "/release"));
}

// ---- Unsafe objects ---------------------------------------------------

// Each case plants something under a fresh directory, then runs one
// operation there.
struct UnsafeCase {
  const char* name;
  std::function<std::optional<SetupErrorKind>(const ScratchDir&)> run;
  std::optional<SetupErrorKind> expected;
};

std::optional<SetupErrorKind> release_paths_in(const std::string& root) {
  auto lock = open_cache(root);
  if (!lock) return lock.error().kind;
  return kind_of(release_paths(os_cache_fs(), root, kVersion, kUrl, kSignature));
}

std::string release_dir_in(const std::string& root) {
  return root + "/" + release_dir_name(kVersion, kUrl, kSignature);
}

#ifdef _WIN32
const std::string kProfile = "C:\\Users\\u";
#else
const std::string kProfile = "/home/u";
#endif
const std::string kLocalAppData = join_path(join_path(kProfile, "AppData"), "Local");

// The walk of the default root, or of the same folder named on the command
// line, over an in-memory disk on which `link` is a link.
std::optional<SetupErrorKind> walk_past_link(const std::string& link, bool named) {
  test::FakeCacheFs fs;
  fs.links.insert(link);
  const CacheRoot root = cache_root_in(kLocalAppData);
  auto lock = open_cache(fs, cache_walk(root.path, named ? "" : root.trusted));
  if (lock) {
    EXPECT_EQ(lock->directories.size(), 2u) << "only NuvoSetup and cache are held";
  }
  return kind_of(lock);
}

TEST(CacheFs, RefusesUnsafeObjects) {
  const auto misconfigured = SetupErrorKind::ChannelMisconfigured;
  const auto storage = SetupErrorKind::StorageFailed;
  const UnsafeCase cases[] = {
      {"cache root is a plain file",
       [](const ScratchDir& s) {
         s.write("cache", "x");
         return kind_of(open_cache(s.file("cache")));
       },
       misconfigured},
      {"an ancestor is a plain file",
       [](const ScratchDir& s) {
         s.write("NuvoSetup", "x");
         return kind_of(open_cache(s.file("NuvoSetup/cache")));
       },
       misconfigured},
      {"download.lock is a directory",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("cache/download.lock"));
         return kind_of(open_cache(s.file("cache")));
       },
       storage},
      {"download.lock has a second link",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("cache"));
         s.write("cache/download.lock", "");
         fs::create_hard_link(s.file("cache/download.lock"), s.file("elsewhere"));
         return kind_of(open_cache(s.file("cache")));
       },
       misconfigured},
      {"a plain file where the release directory goes",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("cache"));
         std::ofstream(release_dir_in(s.file("cache"))) << "x";
         return release_paths_in(s.file("cache"));
       },
       misconfigured},
      {"NuvoInstaller.exe has a second link, opened for reading",
       [](const ScratchDir& s) {
         const std::string file = s.write("NuvoInstaller.exe", "MZ");
         fs::create_hard_link(file, s.file("copy.exe"));
         return kind_of(open_file_read(file));
       },
       misconfigured},
      {"installer.part has a second link, opened for writing",
       [](const ScratchDir& s) {
         const std::string file = s.write("installer.part", "bytes");
         fs::create_hard_link(file, s.file("elsewhere"));
         auto r = kind_of(open_file_write(file, true));
         EXPECT_EQ(slurp(s.file("elsewhere")), "bytes");
         return r;
       },
       misconfigured},
      {"a directory where a file is opened for writing",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("installer.part"));
         return kind_of(open_file_write(s.file("installer.part"), false));
       },
       storage},
      // Windows refuses to open a directory as a file at all; POSIX opens it
      // and the check of the handle refuses it.
      {"a directory where a file is opened for reading",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("NuvoInstaller.exe"));
         return kind_of(open_file_read(s.file("NuvoInstaller.exe")));
       },
#ifdef _WIN32
       storage},
#else
       misconfigured},
#endif
      {"a plain file opened as a directory",
       [](const ScratchDir& s) { return kind_of(open_directory(s.write("file", "x"))); },
       misconfigured},
      {"a missing file opened for reading",
       [](const ScratchDir& s) { return kind_of(open_file_read(s.file("missing"))); }, storage},
      {"a file under a missing directory opened for writing",
       [](const ScratchDir& s) {
         auto r = kind_of(open_file_write(s.file("missing/installer.part"), false));
         EXPECT_FALSE(fs::exists(s.file("missing")));
         return r;
       },
       storage},
      {"a missing path is no link",
       [](const ScratchDir& s) { return kind_of(check_not_link(s.file("missing/resume.json"))); },
       std::nullopt},
      // The default root trusts the user's Local AppData and what lies above it.
      {"default root: a profile disk mounted at the profile folder",
       [](const ScratchDir&) { return walk_past_link(kProfile, false); }, std::nullopt},
      {"default root: Local AppData moved by a junction",
       [](const ScratchDir&) { return walk_past_link(kLocalAppData, false); }, std::nullopt},
      {"default root: NuvoSetup is a link",
       [](const ScratchDir&) {
         return walk_past_link(join_path(kLocalAppData, "NuvoSetup"), false);
       },
       misconfigured},
      {"a root named on the command line: a link at the profile folder",
       [](const ScratchDir&) { return walk_past_link(kProfile, true); }, misconfigured},
      // A new user: the data folder the default root trusts is not there yet.
      {"default root: the user's data folder does not exist yet",
       [](const ScratchDir& s) {
         const CacheRoot root = cache_root_in(s.file("home/u/.cache"));
         auto lock = open_cache(os_cache_fs(), cache_walk(root.path, root.trusted));
         EXPECT_TRUE(fs::is_regular_file(join_path(root.path, "download.lock")));
         return kind_of(lock);
       },
       std::nullopt},
      {"default root: a plain file where the user's data folder goes",
       [](const ScratchDir& s) {
         s.write("home", "x");
         const CacheRoot root = cache_root_in(s.file("home/u/.cache"));
         return kind_of(open_cache(os_cache_fs(), cache_walk(root.path, root.trusted)));
       },
       storage},
#ifndef _WIN32
      // Wine cannot create symbolic links, junctions or mount points; these
      // run on the native build only.
      {"cache root is a symbolic link to a directory",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("real"));
         fs::create_directory_symlink(s.file("real"), s.file("cache"));
         auto r = kind_of(open_cache(s.file("cache")));
         EXPECT_FALSE(fs::exists(s.file("real/download.lock")));
         return r;
       },
       misconfigured},
      {"an ancestor is a symbolic link",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("real"));
         fs::create_directory_symlink(s.file("real"), s.file("NuvoSetup"));
         auto r = kind_of(open_cache(s.file("NuvoSetup/cache")));
         EXPECT_FALSE(fs::exists(s.file("real/cache")));
         return r;
       },
       misconfigured},
      {"download.lock is a symbolic link to a file",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("cache"));
         s.write("target", "keep");
         fs::create_symlink(s.file("target"), s.file("cache/download.lock"));
         auto r = kind_of(open_cache(s.file("cache")));
         EXPECT_EQ(slurp(s.file("target")), "keep");
         return r;
       },
       misconfigured},
      {"download.lock is a dangling symbolic link",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("cache"));
         fs::create_symlink(s.file("nowhere"), s.file("cache/download.lock"));
         auto r = kind_of(open_cache(s.file("cache")));
         EXPECT_FALSE(fs::exists(s.file("nowhere")));
         return r;
       },
       misconfigured},
      {"the release directory is a symbolic link",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("cache"));
         fs::create_directories(s.file("real"));
         fs::create_directory_symlink(s.file("real"), release_dir_in(s.file("cache")));
         return release_paths_in(s.file("cache"));
       },
       misconfigured},
      {"a symbolic link checked",
       [](const ScratchDir& s) {
         fs::create_symlink(s.write("target", "x"), s.file("link"));
         return kind_of(check_not_link(s.file("link")));
       },
       misconfigured},
      {"a file behind a linked directory checked",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("real"));
         s.write("real/resume.json", "{}");
         fs::create_directory_symlink(s.file("real"), s.file("dir"));
         return kind_of(check_not_link(s.file("dir/resume.json")));
       },
       misconfigured},
      {"a file behind a linked directory opened for writing",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("real"));
         fs::create_directory_symlink(s.file("real"), s.file("dir"));
         auto r = kind_of(open_file_write(s.file("dir/installer.part"), false));
         EXPECT_FALSE(fs::exists(s.file("real/installer.part")));
         return r;
       },
       misconfigured},
      {"a symbolic link opened for reading",
       [](const ScratchDir& s) {
         fs::create_symlink(s.write("target", "x"), s.file("NuvoInstaller.exe"));
         return kind_of(open_file_read(s.file("NuvoInstaller.exe")));
       },
       misconfigured},
      {"a symbolic link opened as a directory",
       [](const ScratchDir& s) {
         fs::create_directories(s.file("real"));
         fs::create_directory_symlink(s.file("real"), s.file("dir"));
         return kind_of(open_directory(s.file("dir")));
       },
       misconfigured},
      {"a FIFO opened for reading",
       [](const ScratchDir& s) {
         const std::string fifo = s.file("fifo");
         if (::mkfifo(fifo.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo";
         return kind_of(open_file_read(fifo));
       },
       misconfigured},
#endif
  };
  for (const auto& c : cases) {
    ScratchDir scratch;
    EXPECT_EQ(c.run(scratch), c.expected) << c.name;
  }
}

// ---- Files -------------------------------------------------------------

TEST(CacheFs, FilesAreWrittenInPlaceAndAppended) {
  ScratchDir scratch;
  const std::string path = scratch.file("installer.part");
  {
    auto file = open_file_write(path, false);
    ASSERT_TRUE(file) << file.error().detail;
    ASSERT_TRUE(file->write_all(bytes("hello")));
    ASSERT_TRUE(file->flush());
    EXPECT_EQ(file->size().value(), 5u);
  }
  {
    // Opening never truncates; without append the writes start at byte 0.
    auto file = open_file_write(path, false);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size().value(), 5u);
    ASSERT_TRUE(file->write_all(bytes("J")));
  }
  EXPECT_EQ(slurp(path), "Jello");
  {
    auto file = open_file_write(path, true);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write_all(bytes(", world")));
  }
  EXPECT_EQ(slurp(path), "Jello, world");
  {
    // The length changes; the position does not.
    auto file = open_file_write(path, true);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->truncate(2));
    EXPECT_EQ(file->size().value(), 2u);
    ASSERT_TRUE(file->truncate(0));
    ASSERT_TRUE(file->write_all(bytes("abc")));
    ASSERT_TRUE(file->flush());
  }
  EXPECT_EQ(slurp(path), std::string(12, '\0') + "abc");
  {
    auto file = open_file_write(path, false);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->truncate(0));
    ASSERT_TRUE(file->write_all(bytes("0123456789")));
  }
  auto reader = open_file_read(path);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->size().value(), 10u);
  EXPECT_EQ(read_all(*reader), "0123456789");
  std::uint8_t one[1];
  EXPECT_EQ(reader->read(one).value(), 0u);
}

TEST(CacheFs, MovesDeletesAndMeasures) {
  ScratchDir scratch;
  const std::string part = scratch.write("installer.part", "new bytes");
  const std::string installer = scratch.write("NuvoInstaller.exe", "old");

  EXPECT_EQ(file_size(part), 9u);
  EXPECT_EQ(file_size(scratch.file("missing")), std::nullopt);
  EXPECT_EQ(file_size(scratch.file("missing/deeper")), std::nullopt);
  fs::create_directories(scratch.file("dir"));
  EXPECT_EQ(file_size(scratch.file("dir")), 0u);

  ASSERT_TRUE(move_file(part, installer));
  EXPECT_FALSE(fs::exists(part));
  EXPECT_EQ(slurp(installer), "new bytes");

  EXPECT_EQ(kind_of(move_file(part, installer)), SetupErrorKind::StorageFailed);
  EXPECT_EQ(slurp(installer), "new bytes");

  ASSERT_TRUE(delete_file(installer));
  EXPECT_FALSE(fs::exists(installer));
  EXPECT_EQ(kind_of(delete_file(installer)), SetupErrorKind::StorageFailed);
  EXPECT_EQ(kind_of(delete_file(scratch.file("dir"))), SetupErrorKind::StorageFailed);
  EXPECT_TRUE(fs::is_directory(scratch.file("dir")));

  // A directory where a file belongs does not go away by itself: refused at
  // once, never waited for like another program's passing hold.
  const auto for_good = [](const auto& r) { return !r && !r.error().transient; };
  const std::string source = scratch.write("source", "x");
  const struct {
    const char* name;
    bool refused_for_good;
  } directories[] = {
      {"delete", for_good(delete_file(scratch.file("dir")))},
      {"move onto", for_good(move_file(source, scratch.file("dir")))},
      {"open to write", for_good(open_file_write(scratch.file("dir"), false))},
      {"open to read", for_good(open_file_read(scratch.file("dir")))},
  };
  for (const auto& d : directories) EXPECT_TRUE(d.refused_for_good) << d.name;

  ASSERT_TRUE(ensure_directory(scratch.file("made")));
  EXPECT_TRUE(fs::is_directory(scratch.file("made")));
  EXPECT_EQ(kind_of(ensure_directory(scratch.file("absent/made"))), SetupErrorKind::StorageFailed);
}

#ifdef _WIN32
// POSIX has no sharing modes; there the download lock alone keeps our own
// runs apart.
TEST(CacheFs, ReadHandleKeepsTheFileAsItIs) {
  ScratchDir scratch;
  const std::string installer = scratch.write("NuvoInstaller.exe", "verified");
  const std::string other = scratch.write("other", "replacement");
  auto held = open_file_read(installer);
  ASSERT_TRUE(held);

  EXPECT_EQ(kind_of(open_file_write(installer, false)), SetupErrorKind::StorageFailed);
  EXPECT_EQ(kind_of(move_file(other, installer)), SetupErrorKind::StorageFailed);
  EXPECT_EQ(kind_of(move_file(installer, scratch.file("moved"))), SetupErrorKind::StorageFailed);
  EXPECT_EQ(kind_of(delete_file(installer)), SetupErrorKind::StorageFailed);
  EXPECT_EQ(slurp(installer), "verified");

  // Readers are welcome, the signature check among them.
  auto second = open_file_read(installer);
  ASSERT_TRUE(second);
  EXPECT_EQ(read_all(*second), "verified");
  EXPECT_TRUE(ReadOnlyFile::open(installer));
}

TEST(CacheFs, WriteHandleKeepsTheFileInPlace) {
  ScratchDir scratch;
  const std::string part = scratch.write("installer.part", "bytes");
  auto held = open_file_write(part, true);
  ASSERT_TRUE(held);
  EXPECT_EQ(kind_of(delete_file(part)), SetupErrorKind::StorageFailed);
  EXPECT_EQ(kind_of(move_file(part, scratch.file("moved"))), SetupErrorKind::StorageFailed);
  EXPECT_TRUE(open_file_write(part, true));
}

// The walk holds every directory from the drive root down, and the release
// directory, so that none is renamed, deleted or replaced under the run; the
// run's own file work inside them goes on.
TEST(CacheFs, DirectoryHandlesKeepTheWalkInPlace) {
  ScratchDir scratch;
  const std::string root = scratch.file("cache");
  auto lock = open_cache(root);
  ASSERT_TRUE(lock) << lock.error().detail;
  auto paths = release_paths(os_cache_fs(), root, kVersion, kUrl, kSignature);
  ASSERT_TRUE(paths) << paths.error().detail;
  const std::string release = join_path(root, release_dir_name(kVersion, kUrl, kSignature));
  const std::string resume_tmp = join_path(release, "resume.tmp");
  const auto write = [](const std::string& path, std::string_view text) -> SetupResult<void> {
    auto file = open_file_write(path, false);
    if (!file) return Failure{file.error()};
    return file->write_all(bytes(text));
  };
  const auto refused = [](const SetupResult<void>& r) {
    return !r && r.error().detail.ends_with("(os error 32)");  // ERROR_SHARING_VIOLATION
  };
  const struct {
    const char* name;
    std::function<SetupResult<void>()> run;
    bool allowed;
  } cases[] = {
      {"rename the release directory", [&] { return move_file(release, release + "-x"); }, false},
      {"rename the cache root", [&] { return move_file(root, root + "-x"); }, false},
      {"rename the folder above it",
       [&] { return move_file(scratch.path(), scratch.path() + "-x"); }, false},
      {"create installer.part", [&] { return write(paths->part, "bytes"); }, true},
      {"write resume.tmp", [&] { return write(resume_tmp, "{}"); }, true},
      {"move resume.tmp to resume.json", [&] { return move_file(resume_tmp, paths->state); }, true},
      {"move resume.tmp over resume.json",
       [&] {
         if (auto r = write(resume_tmp, "{\"total\":5}"); !r) return r;
         return move_file(resume_tmp, paths->state);
       },
       true},
      {"move installer.part to NuvoInstaller.exe",
       [&] { return move_file(paths->part, paths->installer); }, true},
      {"delete resume.json", [&] { return delete_file(paths->state); }, true},
  };
  for (const auto& c : cases) {
    const auto r = c.run();
    if (c.allowed) {
      EXPECT_TRUE(r) << c.name << ": " << r.error().detail;
    } else {
      EXPECT_TRUE(refused(r)) << c.name << ": " << (r ? "done" : r.error().detail);
    }
  }
  EXPECT_EQ(slurp(paths->installer), "bytes");

  // Let go, the directories are anyone's again.
  paths->dir = CacheDirectory();
  close_cache(*lock);
  EXPECT_TRUE(move_file(release, release + "-x"));
  EXPECT_TRUE(move_file(root, root + "-x"));
}
#endif

// ---- Release directories -----------------------------------------------

TEST(ReleaseDir, NameHashesVersionUrlAndSignature) {
  const struct {
    std::string_view version, url, signature;
    const char* expected;
  } cases[] = {
      {kVersion, kUrl, "RWQsig1",
       "320af43ee98defbbb29504316cb3617c1323d9831082d66a04a76d0bc61d6fbc"},
      {kVersion, kUrl, "RWQsig2",
       "4cc341ea2d210aaffd2afcc5eff5e1967d572f28667d1d97f154df719b4bc8af"},
      {"", "", "", "709e80c88487a2411e1ee4dfb9f22a861492d20c4765150c0c794abd70f8147c"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(release_dir_name(c.version, c.url, c.signature), c.expected);

  // Every text is closed by its zero byte, so moving bytes between them matters.
  EXPECT_NE(release_dir_name("1.4", "2x", "s"), release_dir_name("1.42", "x", "s"));
  EXPECT_NE(release_dir_name("v", "u", "s1"), release_dir_name("v", "us", "1"));
}

}  // namespace
}  // namespace nuvo
