// The argument grammar: which mode a command line asks for.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/version.h"

namespace nuvo {

inline constexpr std::string_view kUnknownArguments = "Неизвестные аргументы. Используйте --help.";
inline constexpr std::string_view kDownloadOnlyUsage =
    "Используйте --download-only [--cache-dir <absolute-path>].";
inline constexpr std::string_view kBadVerifyPairs = "Неверные или повторяющиеся параметры проверки.";

extern const std::string_view kHelpText;

namespace command {
struct OpenWindow {};
struct Help {};
struct CheckOnly {};
struct DownloadOnly {
  std::optional<std::string> cache_dir;  // empty: the default cache root
};
struct VerifyPackage {
  std::string package_path;
  std::string signature_path;
  std::string version;
};
struct Fail {
  std::string message;
};
}  // namespace command

using Command = std::variant<command::OpenWindow, command::Help, command::CheckOnly,
                             command::DownloadOnly, command::VerifyPackage, command::Fail>;

// `args` excludes the program name.
Command parse_arguments(const std::vector<std::string>& args);

}  // namespace nuvo
