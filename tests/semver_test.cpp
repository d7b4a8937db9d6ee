#include "manifest/semver.h"

#include <gtest/gtest.h>

namespace nuvo {
namespace {

TEST(SemanticVersion, ParsesOnlyTheStrictForm) {
  const std::pair<const char*, const char*> good[] = {
      {"0.0.0", "0.0.0"},
      {"1.4.2", "1.4.2"},
      {"18446744073709551615.0.1", "18446744073709551615.0.1"},
      {"1.0.0-alpha", "1.0.0-alpha"},
      {"1.0.0-alpha.1.x-y", "1.0.0-alpha.1.x-y"},
      {"1.0.0-0.3.7", "1.0.0-0.3.7"},
      {"1.0.0+20130313144700", "1.0.0+20130313144700"},
      {"1.0.0-beta+exp.sha.5114f85", "1.0.0-beta+exp.sha.5114f85"},
      {"1.0.0+001", "1.0.0+001"},  // leading zeros are fine in build metadata
      {"1.0.0--", "1.0.0--"},
  };
  for (const auto& [text, canonical] : good) {
    const auto v = SemanticVersion::parse(text);
    ASSERT_TRUE(v) << text;
    EXPECT_EQ(v->text(), canonical);
  }
  const char* bad[] = {
      "", "1.4", "1.4.2.0", "v1.4.2", " 1.4.2", "1.4.2 ", "01.4.2", "1.04.2", "1.4.02",
      "18446744073709551616.0.0", "1.4.2-", "1.4.2+", "1.4.2-beta..1", "1.4.2-01",
      "1.4.2-beta_1", "1.4.2+build+1", "1.4.2-é", "-1.4.2", "1.-4.2", "1..2", "a.b.c",
  };
  for (const char* text : bad) EXPECT_FALSE(SemanticVersion::parse(text)) << text;
}

TEST(SemanticVersion, TotalOrder) {
  // Each strictly below the next.
  const char* ascending[] = {
      "0.6.11",
      "0.6.12-alpha",
      "0.6.12",
      "0.6.12+build",
      "1.0.0-1",
      "1.0.0-2",
      "1.0.0-10",
      "1.0.0-alpha",
      "1.0.0-alpha.1",
      "1.0.0-alpha.beta",
      "1.0.0-beta",
      "1.0.0-beta.2",
      "1.0.0-beta.11",
      "1.0.0-rc.1",
      "1.0.0",
      "1.0.0+1",
      "1.0.0+01",
      "1.0.0+2",
      "1.0.0+2.a",
      "1.0.0+a",
      "1.0.1",
      "1.1.0",
      "2.0.0",
      "10.0.0",
      "18446744073709551615.0.0",
  };
  for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
    const auto a = *SemanticVersion::parse(ascending[i]);
    const auto b = *SemanticVersion::parse(ascending[i + 1]);
    EXPECT_LT(a, b) << ascending[i] << " < " << ascending[i + 1];
    EXPECT_GT(b, a);
    EXPECT_NE(a, b);
  }
  EXPECT_EQ(*SemanticVersion::parse("1.2.3-a+b"), *SemanticVersion::parse("1.2.3-a+b"));
}

}  // namespace
}  // namespace nuvo
