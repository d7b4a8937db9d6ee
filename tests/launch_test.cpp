// The installer launch over a scripted launcher: every way it can end, and
// the order of the OS calls on each path.
#include "install/launch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <vector>

#ifdef _WIN32
#include <objbase.h>
#include <oleauto.h>
#endif

// The rows name only what differs from a normal run; GCC 12 warns about
// every member a designated initialiser leaves to its default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nuvo {
namespace {

const std::string kCanonical = "\\\\?\\C:\\Cache\\1f3a\\NuvoInstaller.exe";

// What each OS call answers, and the window that owns the launch.
struct Script {
  WindowOwner owner = 0;
  std::string canonical = kCanonical;
  std::optional<OsError> canonical_error;
  std::int32_t com = 0;
  bool started = true;
  std::uint32_t start_error = 0;
  bool process = true;
  bool waited = true;
  std::optional<std::uint32_t> exit_code_error;
  std::uint32_t exit_code = 0;
  std::string description;
};

class ScriptedProcess final : public InstallerProcess {
 public:
  ScriptedProcess(const Script& s, std::vector<std::string>& calls) : s_(s), calls_(calls) {}
  ~ScriptedProcess() override { calls_.push_back("close"); }
  bool wait() override {
    calls_.push_back("wait");
    return s_.waited;
  }
  Result<std::uint32_t, std::uint32_t> exit_code() override {
    calls_.push_back("exit-code");
    if (s_.exit_code_error) return Failure{*s_.exit_code_error};
    return s_.exit_code;
  }

 private:
  const Script& s_;
  std::vector<std::string>& calls_;
};

class ScriptedLauncher final : public InstallerLauncher {
 public:
  ScriptedLauncher(Script s, const FileHandle& held) : s_(std::move(s)), held_(held) {}
  std::vector<std::string> calls;

  Result<std::string, OsError> canonical_path(const FileHandle& file) override {
    calls.push_back(&file == &held_ ? "canonical of the held file" : "canonical of another");
    if (s_.canonical_error) return Failure{*s_.canonical_error};
    return s_.canonical;
  }
  std::int32_t initialize_com() override {
    calls.push_back("com-init");
    return s_.com;
  }
  void uninitialize_com() override { calls.push_back("com-uninit"); }
  std::optional<LaunchRequest> request;
  ShellLaunch start_elevated(const LaunchRequest& r) override {
    calls.push_back("start " + r.file + " in " + r.directory);
    request = r;
    ShellLaunch launch;
    launch.ok = s_.started;
    launch.last_error = s_.start_error;
    if (s_.started && s_.process) launch.process = std::make_unique<ScriptedProcess>(s_, calls);
    return launch;
  }
  std::string describe(std::uint32_t code) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(code));
    calls.push_back(std::string("describe ") + hex);
    return s_.description;
  }

 private:
  Script s_;
  const FileHandle& held_;
};

TEST(Launch, EveryEnding) {
  const std::string canon = "canonical of the held file";
  // The shell is given the path without the "\\?\" prefix whenever it can be.
  const auto ran_in = [&](const std::string& file, const std::string& directory) {
    const std::string start_in = "start " + file + " in " + directory;
    // COM is left as soon as the shell has started the installer, before the wait.
    return std::vector<std::string>{canon,  "com-init",  start_in, "com-uninit",
                                    "wait", "exit-code", "close"};
  };
  const std::string start = "start C:\\Cache\\1f3a\\NuvoInstaller.exe in C:\\Cache\\1f3a";
  const std::vector<std::string> ran =
      ran_in("C:\\Cache\\1f3a\\NuvoInstaller.exe", "C:\\Cache\\1f3a");
  const std::string dir_259 = "C:\\" + std::string(250, 'd');  // with "\\a.exe": 259 units
  const std::string dir_260 = "C:\\" + std::string(251, 'd');
  using O = InstallOutcome;
  const struct {
    const char* name;
    Script script;
    InstallResult expected;
    std::vector<std::string> calls;
  } cases[] = {
      {"canonical path fails",
       {.canonical_error = OsError{2, "Файл не найден."}},
       "Не удалось открыть проверенный установщик: Файл не найден. (os error 2). Нажмите "
       "«Повторить».",
       {canon}},
      {"COM in the other threading model: nothing launched, nothing uninitialised",
       {.com = static_cast<std::int32_t>(0x80010106u), .description = "Cannot change thread mode."},
       "Не удалось подготовить запуск установщика Windows: Cannot change thread mode. "
       "(0x80010106).",
       {canon, "com-init", "describe 80010106"}},
      {"COM already initialised (S_FALSE) proceeds", {.com = 1}, O::Completed, ran},
      {"elevation declined",
       {.started = false, .start_error = 1223},
       O::Cancelled,
       {canon, "com-init", start, "com-uninit"}},
      {"launch fails: the error number becomes an HRESULT",
       {.started = false, .start_error = 2, .description = " The file was not found.\r\n"},
       "Не удалось запустить установщик: The file was not found. (0x80070002). Нажмите "
       "«Повторить».",
       {canon, "com-init", start, "describe 80070002", "com-uninit"}},
      {"launch fails with an HRESULT and no description: the code alone",
       {.started = false, .start_error = 0x80004005u},
       "Не удалось запустить установщик: 0x80004005. Нажмите «Повторить».",
       {canon, "com-init", start, "describe 80004005", "com-uninit"}},
      {"no process handle",
       {.process = false},
       "Windows не вернула процесс установщика. Откройте загруженный пакет вручную или нажмите "
       "«Повторить».",
       {canon, "com-init", start, "com-uninit"}},
      {"wait fails",
       {.waited = false},
       "Не удалось получить результат установки. Проверьте окно установщика; загруженный файл "
       "сохранён.",
       {canon, "com-init", start, "com-uninit", "wait", "close"}},
      {"exit code unreadable",
       {.exit_code_error = 6, .description = "The handle is invalid."},
       "Не удалось узнать результат установки: The handle is invalid. (0x80070006).",
       {canon, "com-init", start, "com-uninit", "wait", "exit-code", "describe 80070006", "close"}},
      {"owned by the setup window", {.owner = 0x1c0a2e}, O::Completed, ran},
      {"on a share",
       {.canonical = "\\\\?\\UNC\\srv\\share\\c\\NuvoInstaller.exe"},
       O::Completed,
       ran_in("\\\\srv\\share\\c\\NuvoInstaller.exe", "\\\\srv\\share\\c")},
      {"259 units fit the shell's buffer",
       {.canonical = "\\\\?\\" + dir_259 + "\\a.exe"},
       O::Completed,
       ran_in(dir_259 + "\\a.exe", dir_259)},
      {"260 units do not: the path keeps its prefix, its directory loses it",
       {.canonical = "\\\\?\\" + dir_260 + "\\a.exe"},
       O::Completed,
       ran_in("\\\\?\\" + dir_260 + "\\a.exe", dir_260)},
      {"a name ending in a dot keeps the prefix",
       {.canonical = "\\\\?\\C:\\odd.\\NuvoInstaller.exe"},
       O::Completed,
       ran_in("\\\\?\\C:\\odd.\\NuvoInstaller.exe", "\\\\?\\C:\\odd.")},
      {"exit 0", {.exit_code = 0}, O::Completed, ran},
      {"exit 1", {.exit_code = 1}, O::Cancelled, ran},
      {"exit 2",
       {.exit_code = 2},
       "Установка не завершилась (код 2). Загруженный пакет сохранён; можно повторить попытку.",
       ran},
      {"exit code with the high bit set",
       {.exit_code = 0xC0000005u},
       "Установка не завершилась (код 3221225477). Загруженный пакет сохранён; можно повторить "
       "попытку.",
       ran},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FileHandle installer;
    ScriptedLauncher launcher(c.script, installer);
    EXPECT_EQ(launch_and_wait(installer, launcher, c.script.owner), c.expected);
    EXPECT_EQ(launcher.calls, c.calls);
    // The shell's request: the given owner, the process handle back, the
    // launch finished on return, no message box of the shell's own.
    if (launcher.request) {
      EXPECT_EQ(launcher.request->owner, c.script.owner);
      EXPECT_EQ(launcher.request->mask, 0x540u);
    }
  }
}

TEST(Launch, HresultFromWin32) {
  const struct {
    std::uint32_t error, hresult;
  } cases[] = {
      {0, 0},
      {2, 0x80070002u},
      {1223, 0x800704C7u},
      {0x12345, 0x80072345u},      // only the low 16 bits are kept
      {0x80010106u, 0x80010106u},  // already an HRESULT
  };
  for (const auto& c : cases) EXPECT_EQ(hresult_from_win32(c.error), c.hresult) << c.error;
}

TEST(Launch, ParentDirectory) {
  const struct {
    std::string path, parent;
  } cases[] = {
      {"\\\\?\\C:\\a\\b.exe", "\\\\?\\C:\\a"},
      {"\\\\?\\C:\\b.exe", "\\\\?\\C:\\"},
      {"\\\\?\\UNC\\server\\share\\b.exe", "\\\\?\\UNC\\server\\share"},
      {"/a/b", "/a"},
      {"/b", "/"},
      {"b.exe", "b.exe"},
  };
  for (const auto& c : cases) EXPECT_EQ(parent_directory(c.path), c.parent) << c.path;
}

#ifdef _WIN32
// The thread's COM error information is preferred to the system message, and
// is handed over only once.
TEST(SystemLauncher, DescribesWithComErrorInformation) {
  auto launcher = system_installer_launcher();
  ASSERT_GE(launcher->initialize_com(), 0);
  const std::uint32_t kAccessDenied = 0x80070005u;
  const std::string system = launcher->describe(kAccessDenied);
  EXPECT_FALSE(system.empty());

  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(CreateErrorInfo(&create), S_OK);
  create->SetDescription(const_cast<wchar_t*>(L"Отказано политикой"));
  IErrorInfo* info = nullptr;
  ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
  ASSERT_EQ(SetErrorInfo(0, info), S_OK);
  info->Release();
  create->Release();
  EXPECT_EQ(launcher->describe(kAccessDenied), "Отказано политикой");
  EXPECT_EQ(launcher->describe(kAccessDenied), system);  // the information is used up
  launcher->uninitialize_com();
}
#endif

}  // namespace
}  // namespace nuvo
