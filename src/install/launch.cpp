// Starts the verified installer elevated, waits for it and reads its exit code.
#include "install/launch.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

#include "common/utf.h"

namespace nuvo {
namespace {

constexpr std::string_view kOpenFailed =
    "Не удалось открыть проверенный установщик: {}. Нажмите «Повторить».";
constexpr std::string_view kPrepareFailed =
    "Не удалось подготовить запуск установщика Windows: {}.";
constexpr std::string_view kStartFailed =
    "Не удалось запустить установщик: {}. Нажмите «Повторить».";
constexpr std::string_view kNoProcess =
    "Windows не вернула процесс установщика. Откройте загруженный пакет вручную или нажмите "
    "«Повторить».";
constexpr std::string_view kWaitFailed =
    "Не удалось получить результат установки. Проверьте окно установщика; загруженный файл "
    "сохранён.";
constexpr std::string_view kExitCodeUnreadable = "Не удалось узнать результат установки: {}.";
constexpr std::string_view kInstallerFailed =
    "Установка не завершилась (код {}). Загруженный пакет сохранён; можно повторить попытку.";

constexpr std::uint32_t kExitCompleted = 0;
constexpr std::uint32_t kExitCancelled = 1;

// The shell's limit for a path, terminator included, in UTF-16 units.
constexpr std::size_t kMaxShellPath = 260;
constexpr std::string_view kVerbatim = "\\\\?\\";
constexpr std::string_view kVerbatimUnc = "\\\\?\\UNC\\";

std::string fill(std::string_view pattern, std::string_view value) {
  const auto at = pattern.find("{}");
  std::string out(pattern.substr(0, at));
  out += value;
  out += pattern.substr(at + 2);
  return out;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

std::string_view trim(std::string_view s) {
  constexpr std::string_view kBlank = " \t\r\n";
  const auto first = s.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlank) - first + 1);
}

// The shell does not take extended-length paths: it copies the working
// directory into a MAX_PATH buffer and checks it with path functions that do
// not know the prefix. So "\\?\C:\..." goes as "C:\..." and
// "\\?\UNC\server\share\..." as "\\server\share\..." whenever that form
// fits. A longer path keeps its prefix, the only form that names it at all,
// and so does a name ending in a dot or a blank, which the plain form drops.
std::string shell_path(std::string_view path) {
  std::string plain;
  if (path.starts_with(kVerbatimUnc)) {
    plain = "\\\\" + std::string(path.substr(kVerbatimUnc.size()));
  } else if (path.starts_with(kVerbatim) && path.size() >= kVerbatim.size() + 3 &&
             path[kVerbatim.size() + 1] == ':' && path[kVerbatim.size() + 2] == '\\') {
    plain = std::string(path.substr(kVerbatim.size()));
  } else {
    return std::string(path);
  }
  const auto units = utf8_to_utf16(plain);
  if (!units || units->size() >= kMaxShellPath) return std::string(path);
  for (std::size_t at = 0; (at = plain.find('\\', at)) != std::string::npos; ++at) {
    if (at > 0 && (plain[at - 1] == '.' || plain[at - 1] == ' ')) return std::string(path);
  }
  if (plain.back() == '.' || plain.back() == ' ') return std::string(path);
  return plain;
}

std::string describe_error(InstallerLauncher& launcher, std::uint32_t code) {
  return windows_error_text(launcher.describe(code), code);
}

// The wait for a started installer and the meaning of its exit code.
InstallResult wait_for(InstallerProcess& process, InstallerLauncher& launcher) {
  if (!process.wait()) return std::string(kWaitFailed);
  const auto exit_code = process.exit_code();
  if (!exit_code) {
    return fill(kExitCodeUnreadable,
                describe_error(launcher, hresult_from_win32(exit_code.error())));
  }
  switch (*exit_code) {
    case kExitCompleted:
      return InstallOutcome::Completed;
    case kExitCancelled:
      return InstallOutcome::Cancelled;
    default:
      return fill(kInstallerFailed, std::to_string(*exit_code));
  }
}

}  // namespace

std::uint32_t hresult_from_win32(std::uint32_t error) {
  if (error == 0 || (error & 0x80000000u) != 0) return error;
  return 0x80070000u | (error & 0xFFFFu);
}

std::string windows_error_text(std::string_view description, std::uint32_t code) {
  std::array<char, 11> hex{};
  std::snprintf(hex.data(), hex.size(), "0x%08X", static_cast<unsigned>(code));
  description = trim(description);
  if (description.empty()) return hex.data();
  return std::string(description) + " (" + hex.data() + ")";
}

std::string parent_directory(std::string_view path) {
  std::size_t at = path.size();
  while (at > 0 && !is_separator(path[at - 1])) --at;
  if (at == 0) return std::string(path);
  // at is one past the last separator; keep it when what precedes it is a
  // root: nothing ("/b") or a drive ("C:\b", "\\?\C:\b").
  const std::string_view head = path.substr(0, at - 1);
  if (head.empty() || head.back() == ':') return std::string(path.substr(0, at));
  return std::string(head);
}

InstallResult launch_and_wait(const FileHandle& installer, InstallerLauncher& launcher,
                              WindowOwner owner) {
  const auto canonical = launcher.canonical_path(installer);
  if (!canonical) return fill(kOpenFailed, canonical.error().display());
  const LaunchRequest request{shell_path(*canonical), shell_path(parent_directory(*canonical)),
                              owner, kLaunchMask};

  const std::int32_t com = launcher.initialize_com();
  if (com < 0)
    return fill(kPrepareFailed, describe_error(launcher, static_cast<std::uint32_t>(com)));
  ShellLaunch launch = launcher.start_elevated(request);
  std::optional<InstallResult> refused;
  if (!launch.ok) {
    const std::uint32_t code = hresult_from_win32(launch.last_error);
    refused = code == kHresultCancelled
                  ? InstallResult(InstallOutcome::Cancelled)
                  : InstallResult(fill(kStartFailed, describe_error(launcher, code)));
  }
  // The launch is over (kMaskNoAsync), and COM with it. A single-threaded
  // apartment must pump messages while it waits, or every broadcast sent to
  // its thread waits for it: the apartment is left before the wait, which
  // can last as long as the installer runs.
  launcher.uninitialize_com();
  if (refused) return std::move(*refused);
  if (!launch.process) return std::string(kNoProcess);
  return wait_for(*launch.process, launcher);
}

}  // namespace nuvo
