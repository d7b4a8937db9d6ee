#include "manifest/manifest.h"

#include <gtest/gtest.h>

namespace nuvo {
namespace {

TEST(Manifest, DecodingRules) {
  const std::string entry = R"({"url":"u","signature":"s"})";
  const struct {
    const char* name;
    std::string json;
    bool accepted;
  } cases[] = {
      {"minimal", R"({"version":"1.4.2","platforms":{"windows-x86_64":)" + entry + "}}", true},
      {"extra members at both levels",
       R"({"notes":"текст","pub_date":"2026-01-01","version":"1.4.2","platforms":{"windows-x86_64":{"url":"u","size":[1,{"a":null}],"signature":"s"}},"x":{"y":[[]]}})",
       true},
      {"blanks around", " \t\r\n{\"version\":\"1\",\"platforms\":{}}\n\n", true},
      {"no platforms member", R"({"version":"1.4.2"})", false},
      {"no version member", R"({"platforms":{}})", false},
      {"platform without url", R"({"version":"1","platforms":{"p":{"signature":"s"}}})", false},
      {"platform without signature", R"({"version":"1","platforms":{"p":{"url":"u"}}})", false},
      {"version twice", R"({"version":"1","version":"1","platforms":{}})", false},
      {"platforms twice", R"({"version":"1","platforms":{},"platforms":{}})", false},
      {"url twice", R"({"version":"1","platforms":{"p":{"url":"u","url":"u","signature":"s"}}})",
       false},
      {"ignored member twice", R"({"version":"1","a":1,"a":2,"platforms":{}})", false},
      {"incomplete platform refused though a later one replaces it",
       R"({"version":"1","platforms":{"p":{"url":"a"},"p":{"url":"u","signature":"s"}}})", false},
      {"version not a string", R"({"version":1.4,"platforms":{}})", false},
      {"platforms not an object", R"({"version":"1","platforms":[]})", false},
      {"platform not an object", R"({"version":"1","platforms":{"p":"x"}})", false},
      {"url not a string", R"({"version":"1","platforms":{"p":{"url":null,"signature":"s"}}})",
       false},
      {"not an object", R"(["version"])", false},
      {"trailing letter", R"({"version":"1","platforms":{}}x)", false},
      {"second value", R"({"version":"1","platforms":{}}{})", false},
      {"byte-order mark", "\xEF\xBB\xBF{\"version\":\"1\",\"platforms\":{}}", false},
      {"invalid UTF-8", "{\"version\":\"\xC3\",\"platforms\":{}}", false},
      {"comment", "{\"version\":\"1\",\"platforms\":{}}/**/", false},
      {"empty", "", false},
      {"form feed is not a blank", "\f{\"version\":\"1\",\"platforms\":{}}", false},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_manifest(c.json).has_value(), c.accepted) << c.name;
}

TEST(Manifest, KeepsTheLastPlatformOfAName) {
  const auto m = decode_manifest(
      R"({"version":"1.4.2","platforms":{"p":{"url":"a","signature":"1"},"p":{"url":"b","signature":"2"}}})");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->version, "1.4.2");
  ASSERT_EQ(m->platforms.size(), 1u);
  EXPECT_EQ(m->platforms.at("p").url, "b");
  EXPECT_EQ(m->platforms.at("p").signature, "2");
}

TEST(Manifest, DeepNestingIsRefusedWithoutHarm) {
  // Inside an ignored member and as the whole document.
  const std::string deep(65536, '[');
  EXPECT_FALSE(decode_manifest(R"({"version":"1","platforms":{},"x":)" + deep));
  EXPECT_FALSE(decode_manifest(deep + std::string(65536, ']')));
  std::string nested = R"({"version":"1","platforms":{},"x":)" + std::string(20000, '[') +
                       std::string(20000, ']') + "}";
  EXPECT_TRUE(decode_manifest(nested));
}

}  // namespace
}  // namespace nuvo
