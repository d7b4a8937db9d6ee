#include "cli/command_line.h"

#include <gtest/gtest.h>

namespace nuvo {
namespace {

struct SplitCase {
  std::u16string line;
  std::vector<std::u16string> expected;  // the program name first
};

TEST(CommandLine, SplitsLikeTheCRuntime) {
  const SplitCase cases[] = {
      {u"app.exe", {u"app.exe"}},
      {u"app.exe --help", {u"app.exe", u"--help"}},
      {u"app.exe   a \t b  ", {u"app.exe", u"a", u"b"}},
      // The program name: quotes toggle, backslashes are literal, a blank ends it.
      {u"\"C:\\Program Files\\app.exe\" x", {u"C:\\Program Files\\app.exe", u"x"}},
      {u"C:\\a\"b c\"d\\ e", {u"C:\\ab cd\\", u"e"}},
      {u"C:\\dir\\\" x", {u"C:\\dir\\ x"}},
      {u" app x", {u"", u"app", u"x"}},
      // Quoted arguments with blanks arrive whole.
      {u"app \"with blank\" next", {u"app", u"with blank", u"next"}},
      {u"app a\"b c\"d", {u"app", u"ab cd"}},
      {u"app \"\"", {u"app", u""}},
      {u"app \"\" \"\"", {u"app", u"", u""}},
      // Backslashes before a quote: 2n give n and toggle, 2n+1 give n and a quote.
      {u"app a\\\\\"b c\"", {u"app", u"a\\b c"}},
      {u"app a\\\\\\\"b", {u"app", u"a\\\"b"}},
      {u"app \\\\\\\"", {u"app", u"\\\""}},
      {u"app \"a\\\\\\\"b\"", {u"app", u"a\\\"b"}},
      {u"app a\\b\\\\c", {u"app", u"a\\b\\\\c"}},
      {u"app C:\\dir\\", {u"app", u"C:\\dir\\"}},
      // A doubled quote inside quotes is a literal quote.
      {u"app \"a\"\"b\"", {u"app", u"a\"b"}},
      {u"app \"a\"\"b c\"", {u"app", u"a\"b c"}},
      // An unterminated quote runs to the end.
      {u"app \"open end", {u"app", u"open end"}},
      // Unicode passes through untouched.
      {u"app \"каталог загрузки\"", {u"app", u"каталог загрузки"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(split_command_line(c.line, u"unused"), c.expected)
        << std::string(c.line.begin(), c.line.end());
  }
}

TEST(CommandLine, EmptyLineNamesTheModule) {
  EXPECT_EQ(split_command_line(u"", u"C:\\x\\NuvoSetup.exe"),
            std::vector<std::u16string>{u"C:\\x\\NuvoSetup.exe"});
}

}  // namespace
}  // namespace nuvo
