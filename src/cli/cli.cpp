#include "cli/cli.h"

#include <type_traits>

#include "channel_config.h"
#include "cli/arguments.h"
#include "cli/check_mode.h"
#include "cli/download_mode.h"
#include "cli/verify_mode.h"
#include "platform/console.h"

namespace nuvo {
namespace {

int fail_with(std::string_view message) {
  std::string line(message);
  line += '\n';
  write_std(StdStream::Err, line);
  return 1;
}

int finish(const Result<std::string, std::string>& result) {
  if (!result) return fail_with(result.error());
  write_std(StdStream::Out, result.value());
  return 0;
}

}  // namespace

int run_cli(const std::optional<std::vector<std::string>>& args,
            const std::function<int()>& open_window) {
  if (!args) return fail_with(kUnknownArguments);

  const Command cmd = parse_arguments(*args);
  return std::visit(
      [&](const auto& c) -> int {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, command::Fail>) {
          return fail_with(c.message);
        } else if constexpr (std::is_same_v<T, command::Help>) {
          write_std(StdStream::Out, kHelpText);
          return 0;
        } else if constexpr (std::is_same_v<T, command::CheckOnly>) {
          return finish(run_check_only());
        } else if constexpr (std::is_same_v<T, command::DownloadOnly>) {
          const auto done = run_download_only(c.cache_dir);
          return done ? 0 : fail_with(done.error());
        } else if constexpr (std::is_same_v<T, command::VerifyPackage>) {
          return finish(
              run_verify_package(c.package_path, c.signature_path, c.version, config::kPublicKey));
        } else {
          return open_window();
        }
      },
      cmd);
}

}  // namespace nuvo
