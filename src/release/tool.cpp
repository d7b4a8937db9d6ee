#include "release/tool.h"

#include <type_traits>

#include "manifest/channel.h"
#include "platform/console.h"
#include "platform/work_dir.h"
#include "release/arguments.h"
#include "release/check.h"
#include "release/publish.h"
#include "release/signing.h"

namespace nuvo::release {
namespace {

void print(StdStream stream, std::string_view text) {
  std::string line(text);
  if (!line.ends_with('\n')) line += '\n';
  write_std(stream, line);
}

int failed(std::string_view message) {
  print(StdStream::Err, "nuvo-release: " + std::string(message));
  return kExitFailed;
}

const LineSink kStdout = [](std::string_view line) { print(StdStream::Out, line); };

}  // namespace

int run_release_tool(const std::vector<std::string>& args) {
  const Command cmd = parse_release_arguments(args);
  return std::visit(
      [](const auto& c) -> int {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, command::Help>) {
          write_std(StdStream::Out, kReleaseHelp);
          return 0;
        } else if constexpr (std::is_same_v<T, command::Usage>) {
          print(StdStream::Err, c.message);
          return kExitUsage;
        } else if constexpr (std::is_same_v<T, command::Sign>) {
          const auto done = run_sign(c);
          if (!done) return failed(done.error());
          write_std(StdStream::Out, *done);
          return 0;
        } else if constexpr (std::is_same_v<T, command::Publish>) {
          const auto done = run_publish(c, kStdout);
          return done ? 0 : failed(done.error());
        } else if constexpr (std::is_same_v<T, command::CheckDirectory>) {
          auto dir = absolute_path(c.dir);
          if (!dir) return failed(c.dir + ": " + dir.error().display());
          return check_release_files(*dir, builtin_channel_settings(), kStdout) ? 0 : kExitFailed;
        } else {
          return check_channel_online(kStdout) ? 0 : kExitFailed;
        }
      },
      cmd);
}

}  // namespace nuvo::release
