#include "cli/arguments.h"

#include <array>

namespace nuvo {

const std::string_view kHelpText =
    "NuvoSetup — онлайн-установщик Nuvo для Windows.\n"
    "Без аргументов открывает окно установки.\n"
    "\n"
    "Диагностика без установки и открытия окон:\n"
    "  --check-only\n"
    "  --download-only [--cache-dir <absolute-path>]\n"
    "  --verify-package <path> --signature-file <path> --version <X.Y.Z>\n"
    "  --help\n"
    "\n"
    "Проверка и загрузка используют встроенный публичный канал Nuvo.\n"
    "--download-only проверяет подпись и сохраняет пакет, но не запускает его.\n";

namespace {

Command parse_verify_request(const std::vector<std::string>& args) {
  static constexpr std::array<std::string_view, 3> kNames = {"--verify-package", "--signature-file",
                                                             "--version"};
  std::array<const std::string*, 3> values{};
  for (std::size_t pair = 0; pair < 3; ++pair) {
    const std::string& name = args[2 * pair];
    const std::string& value = args[2 * pair + 1];
    std::size_t slot = kNames.size();
    for (std::size_t k = 0; k < kNames.size(); ++k) {
      if (name == kNames[k]) slot = k;
    }
    if (slot == kNames.size() || value.empty() || values[slot] != nullptr)
      return command::Fail{std::string(kBadVerifyPairs)};
    values[slot] = &value;
  }
  return command::VerifyPackage{*values[0], *values[1], *values[2]};
}

}  // namespace

Command parse_arguments(const std::vector<std::string>& args) {
  const std::size_t n = args.size();
  if (n == 0) return command::OpenWindow{};
  if (n == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "/?")) return command::Help{};
  if (n == 1 && args[0] == "--check-only") return command::CheckOnly{};
  if (args[0] == "--download-only") {
    if (n == 1) return command::DownloadOnly{};
    if (n == 3 && args[1] == "--cache-dir") return command::DownloadOnly{args[2]};
    return command::Fail{std::string(kDownloadOnlyUsage)};
  }
  if (n == 6) return parse_verify_request(args);
  return command::Fail{std::string(kUnknownArguments)};
}

}  // namespace nuvo
