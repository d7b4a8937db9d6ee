// Any command line splits, and the grammar decides on any argument list.
#include <cstdint>
#include <string>

#include "cli/arguments.h"
#include "cli/command_line.h"
#include "common/utf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string_view line(reinterpret_cast<const char16_t*>(data), size / 2);
  const auto args = nuvo::split_command_line(line, u"NuvoSetup.exe");
  std::vector<std::string> utf8;
  for (std::size_t i = 1; i < args.size(); ++i) {
    auto a = nuvo::utf16_to_utf8(args[i]);
    if (!a) return 0;
    utf8.push_back(std::move(*a));
  }
  (void)nuvo::parse_arguments(utf8);
  return 0;
}
