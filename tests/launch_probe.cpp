// Runs the real installer launch on one file and prints how it ended, for the
// end-to-end launch tests.
//
//   launch_probe [--com-mta] <path>
//
// Holds <path> open as the package run holds the verified installer (the
// cache's careful open for reading), launches it and prints one line:
// "completed", "cancelled" or "failed <text>"; exit code 1 with a line on
// standard error when the file cannot be held. --com-mta (Windows) first
// joins the thread to the multithreaded apartment, so that the launch finds
// COM in the other threading model.
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "install/launch.h"
#include "platform/cache_fs.h"
#include "platform/console.h"

#ifdef _WIN32
#include <objbase.h>

#include "cli/command_line.h"
#include "common/utf.h"
#endif

namespace {

// The arguments after the program name, UTF-8 on every system.
std::vector<std::string> arguments(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  std::vector<std::string> out;
  const auto words =
      nuvo::split_command_line(reinterpret_cast<const char16_t*>(GetCommandLineW()), u"");
  for (std::size_t i = 1; i < words.size(); ++i)
    out.push_back(nuvo::utf16_to_utf8(words[i]).value_or(""));
  return out;
#else
  return std::vector<std::string>(argv + 1, argv + argc);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const auto args = arguments(argc, argv);
  bool com_mta = false;
  std::size_t i = 0;
  if (i < args.size() && args[i] == "--com-mta") {
    com_mta = true;
    ++i;
  }
  if (i + 1 != args.size()) {
    nuvo::write_std(nuvo::StdStream::Err, "usage: launch_probe [--com-mta] <path>\n");
    return 2;
  }
  if (com_mta) {
#ifdef _WIN32
    if (CoInitializeEx(nullptr, COINIT_MULTITHREADED) < 0) return 2;
#else
    nuvo::write_std(nuvo::StdStream::Err, "--com-mta needs Windows\n");
    return 2;
#endif
  }

  const auto installer = nuvo::open_file_read(args[i]);
  if (!installer) {
    nuvo::write_std(nuvo::StdStream::Err, "cannot hold " + installer.error().detail + "\n");
    return 1;
  }
  auto launcher = nuvo::system_installer_launcher();
  const nuvo::InstallResult result = nuvo::launch_and_wait(installer->handle(), *launcher);
  std::string line;
  if (const auto* text = std::get_if<std::string>(&result)) {
    line = "failed " + *text;
  } else {
    line = std::get<nuvo::InstallOutcome>(result) == nuvo::InstallOutcome::Completed ? "completed"
                                                                                     : "cancelled";
  }
  nuvo::write_std(nuvo::StdStream::Out, line + "\n");
  return 0;
}
