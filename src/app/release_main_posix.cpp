// Process entry of nuvo-release on Linux.
#include <csignal>
#include <new>

#include "common/utf.h"
#include "platform/console.h"
#include "release/tool.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
      if (!nuvo::is_valid_utf8(argv[i])) {
        nuvo::write_std(nuvo::StdStream::Err, "nuvo-release: an argument is not UTF-8\n");
        return nuvo::release::kExitUsage;
      }
      args.emplace_back(argv[i]);
    }
    return nuvo::release::run_release_tool(args);
  } catch (const std::bad_alloc&) {
    nuvo::write_std(nuvo::StdStream::Err, "nuvo-release: out of memory\n");
    return nuvo::release::kExitFailed;
  }
}
