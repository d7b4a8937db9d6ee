#include "common/ascii.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace nuvo {
namespace {

TEST(Ascii, FoldsOnlyTheLettersAToZ) {
  const struct {
    std::string a;
    std::string b;
    bool equal;
  } cases[] = {
      {"", "", true},
      {"Content-Length", "content-length", true},
      {"HTTPS://", "https://", true},
      {"NuVo", "nUvO", true},
      {"@[`{", "@[`{", true},           // the neighbours of A-Z and a-z fold to nothing
      {"@", "`", false},                // 0x40 and 0x60 differ by the case bit alone
      {"[", "{", false},                // and so do 0x5B and 0x7B
      {"\xC3\x89", "\xC3\xA9", false},  // É and é: UTF-8 is not folded
      {"abc", "abcd", false},
      {"abd", "abc", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ascii_iequals(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(ascii_iequals(c.b, c.a), c.equal) << c.b << " / " << c.a;
    EXPECT_EQ(ascii_istarts_with(c.a + "-rest", c.b), c.equal) << c.a << " / " << c.b;
  }
  const std::pair<char, char> lowered[] = {
      {'A', 'a'}, {'M', 'm'}, {'Z', 'z'}, {'a', 'a'},       {'z', 'z'},
      {'@', '@'}, {'[', '['}, {'0', '0'}, {'\xC3', '\xC3'}, {'\xDA', '\xDA'},
  };
  for (const auto& [from, to] : lowered) EXPECT_EQ(ascii_lower(from), to) << from;
}

}  // namespace
}  // namespace nuvo
