#include "common/utf.h"

#include <gtest/gtest.h>

namespace nuvo {
namespace {

TEST(Utf, Utf8Validity) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"plain", true},
      {"Канал \xF0\x9F\x98\x80", true},
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x80\xAF", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xC3", false},              // truncated
      {"\x80", false},              // lone continuation
      {"\xFF", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(is_valid_utf8(text), valid) << text;
}

TEST(Utf, RoundTripsAndRefusesUnpairedSurrogates) {
  const std::u16string wide = u"путь\\C:\U0001F600";
  const auto narrow = utf16_to_utf8(wide);
  ASSERT_TRUE(narrow.has_value());
  EXPECT_EQ(utf8_to_utf16(*narrow), wide);

  EXPECT_FALSE(utf16_to_utf8(std::u16string(1, char16_t(0xD800))).has_value());
  EXPECT_FALSE(utf16_to_utf8(std::u16string{u'a', char16_t(0xDC00), u'b'}).has_value());
  EXPECT_FALSE(utf16_to_utf8(std::u16string{char16_t(0xD800), u'x'}).has_value());
  EXPECT_FALSE(utf8_to_utf16("\xC3").has_value());
}

}  // namespace
}  // namespace nuvo
