// Process entry of nuvo-release.exe, a console program. The command line is
// split here, as NuvoSetup.exe splits its own, never by the C run-time.
#include <new>

#include "cli/command_line.h"
#include "common/utf.h"
#include "platform/console.h"
#include "platform/win32_support.h"
#include "release/tool.h"

extern "C" {
int _dowildcard = 0;
}

// Before any constructor of ours or of the C++ run-time, and so before any
// DLL that is not a KnownDLL can be loaded, the DLL search is narrowed to the
// system directory: the program runs from the Downloads folder.
[[gnu::constructor(101)]] static void restrict_dll_search_first() {
  nuvo::win32::restrict_dll_search();
}

namespace {

int run() {
  const wchar_t* raw = GetCommandLineW();
  const std::wstring_view line = raw != nullptr ? raw : L"";
  const auto split = nuvo::split_command_line(
      std::u16string_view(reinterpret_cast<const char16_t*>(line.data()), line.size()),
      u"nuvo-release.exe");
  std::vector<std::string> args;
  for (std::size_t i = 1; i < split.size(); ++i) {
    auto utf8 = nuvo::utf16_to_utf8(split[i]);
    if (!utf8) {
      nuvo::write_std(nuvo::StdStream::Err, "nuvo-release: an argument is not valid Unicode\n");
      return nuvo::release::kExitUsage;
    }
    args.push_back(std::move(*utf8));
  }
  return nuvo::release::run_release_tool(args);
}

}  // namespace

int main() {
  int code = nuvo::release::kExitFailed;
  try {
    code = run();
  } catch (const std::bad_alloc&) {
    nuvo::write_std(nuvo::StdStream::Err, "nuvo-release: out of memory\n");
  }
  ExitProcess(static_cast<UINT>(code));
}
