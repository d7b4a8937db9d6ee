#include "signature/base64.h"

#include <gtest/gtest.h>

namespace nuvo {
namespace {

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {std::string("\xff\xfe\x00", 3), "//4A"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(encode_base64(plain), encoded);
    EXPECT_EQ(decode_base64(encoded), plain) << encoded;
  }
}

TEST(Base64, RefusesEverythingButTheCanonicalForm) {
  const char* refused[] = {
      "Zg",        // missing padding
      "Zg=",       // short padding
      "Zg===",     // surplus padding
      "Zh==",      // stray bits in the last character
      "Zm9=",      // stray bits with one pad character
      "Zm 9v",     // blank inside
      "Zm9v\nYmFy",  // line break inside
      "Zm9v-_",    // URL-safe alphabet
      "Z===",      // padding where data must be
      "Zg==Zm9v",  // padding in the middle
      "=Zm9",
  };
  for (const char* text : refused) EXPECT_FALSE(decode_base64(text).has_value()) << text;
}

TEST(Base64, Envelope) {
  const struct {
    std::string text;
    std::size_t limit;
    std::optional<std::string> expected;
  } cases[] = {
      {"Zm9v", 8, "foo"},
      {"  Zm9v\r\n", 8, "foo"},          // surrounding white space is trimmed
      {"\tZm9vYmFy\n", 10, "foobar"},    // the limit counts the untrimmed text
      {"\tZm9vYmFy\n", 9, std::nullopt},
      {"", 8, std::nullopt},
      {"   ", 8, std::nullopt},
      {"Zm9v\nYmFy", 64, std::nullopt},  // break inside
      {encode_base64("\xc3\x28"), 64, std::nullopt},  // decodes to invalid UTF-8
      {encode_base64("прямо"), 64, "прямо"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_base64_envelope(c.text, c.limit), c.expected) << c.text;
  }
}

}  // namespace
}  // namespace nuvo
