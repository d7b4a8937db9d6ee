#include "cli/command_line.h"

namespace nuvo {
namespace {

bool is_blank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

std::vector<std::u16string> split_command_line(std::u16string_view line,
                                               std::u16string_view module_path) {
  if (line.empty()) return {std::u16string(module_path)};

  std::vector<std::u16string> args;
  std::size_t i = 0;

  // The program name: quotes only toggle quoting, backslashes are plain.
  std::u16string name;
  bool quoted = false;
  for (; i < line.size(); ++i) {
    const char16_t c = line[i];
    if (c == u'"') {
      quoted = !quoted;
    } else if (is_blank(c) && !quoted) {
      break;
    } else {
      name += c;
    }
  }
  args.push_back(std::move(name));

  for (;;) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i >= line.size()) break;

    std::u16string arg;
    quoted = false;
    while (i < line.size()) {
      const char16_t c = line[i];
      if (is_blank(c) && !quoted) break;
      if (c == u'\\') {
        std::size_t slashes = 0;
        while (i < line.size() && line[i] == u'\\') ++slashes, ++i;
        if (i < line.size() && line[i] == u'"') {
          // 2n backslashes + quote: n backslashes, the quote toggles quoting.
          // 2n+1 backslashes + quote: n backslashes and a literal quote.
          arg.append(slashes / 2, u'\\');
          if (slashes % 2 == 1) {
            arg += u'"';
            ++i;
          }
        } else {
          arg.append(slashes, u'\\');
        }
        continue;
      }
      if (c == u'"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          arg += u'"';  // a doubled quote inside quotes is a literal quote
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
        continue;
      }
      arg += c;
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace nuvo
