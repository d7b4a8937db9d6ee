// Process entry of NuvoSetup.exe, a GUI-subsystem program. The command line is
// read and split here, never by the C run-time.
#include <new>

#include "app/setup_window.h"
#include "cli/cli.h"
#include "cli/command_line.h"
#include "common/utf.h"
#include "platform/win32_support.h"

// Keep the C run-time from expanding wildcards in arguments it parses for us.
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

std::u16string module_path() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::u16string(buffer.begin(), buffer.begin() + n);
    buffer.resize(buffer.size() * 2);
  }
}

int run() {
  const wchar_t* raw = GetCommandLineW();
  const std::wstring_view line = raw != nullptr ? raw : L"";
  auto split = nuvo::split_command_line(
      std::u16string_view(reinterpret_cast<const char16_t*>(line.data()), line.size()),
      line.empty() ? module_path() : std::u16string());

  std::optional<std::vector<std::string>> args(std::in_place);
  for (std::size_t i = 1; i < split.size(); ++i) {
    auto utf8 = nuvo::utf16_to_utf8(split[i]);
    if (!utf8) {
      args.reset();
      break;
    }
    args->push_back(std::move(*utf8));
  }
  return nuvo::run_cli(args, nuvo::run_setup_window);
}

}  // namespace

int main() {
  int code = 1;
  try {
    code = run();
  } catch (const std::bad_alloc&) {
    code = 1;
  }
  ExitProcess(static_cast<UINT>(code));
}
