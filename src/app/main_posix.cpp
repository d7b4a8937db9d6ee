// Process entry of the Linux stand-in, which has the diagnostic modes but no
// window: without arguments it exits with 1 and says nothing.
#include <csignal>
#include <new>

#include "cli/cli.h"
#include "common/utf.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    std::optional<std::vector<std::string>> args(std::in_place);
    for (int i = 1; i < argc; ++i) {
      if (!nuvo::is_valid_utf8(argv[i])) {
        args.reset();
        break;
      }
      args->emplace_back(argv[i]);
    }
    return nuvo::run_cli(args, [] { return 1; });
  } catch (const std::bad_alloc&) {
    return 1;
  }
}
