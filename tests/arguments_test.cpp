#include "cli/arguments.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace nuvo {
namespace {

using Args = std::vector<std::string>;

std::string describe(const Command& c) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, command::OpenWindow>) return "window";
        if constexpr (std::is_same_v<T, command::Help>) return "help";
        if constexpr (std::is_same_v<T, command::CheckOnly>) return "check";
        if constexpr (std::is_same_v<T, command::DownloadOnly>)
          return v.cache_dir ? "download:" + *v.cache_dir : "download";
        if constexpr (std::is_same_v<T, command::VerifyPackage>)
          return "verify:" + v.package_path + "|" + v.signature_path + "|" + v.version;
        if constexpr (std::is_same_v<T, command::Fail>) return "fail:" + v.message;
      },
      c);
}

TEST(Arguments, Grammar) {
  const std::string unknown = "fail:" + std::string(kUnknownArguments);
  const std::string usage = "fail:" + std::string(kDownloadOnlyUsage);
  const std::string pairs = "fail:" + std::string(kBadVerifyPairs);
  const struct {
    Args args;
    std::string expected;
  } cases[] = {
      {{}, "window"},
      {{"--help"}, "help"},
      {{"-h"}, "help"},
      {{"/?"}, "help"},
      {{"--HELP"}, unknown},
      {{"--help=1"}, unknown},
      {{"-help"}, unknown},
      {{"--help", "--check-only"}, unknown},
      {{"--version"}, unknown},
      {{""}, unknown},
      {{"--check-only"}, "check"},
      {{"--check-only", "x"}, unknown},
      {{"--download-only"}, "download"},
      {{"--download-only", "--cache-dir", "C:\\cache"}, "download:C:\\cache"},
      {{"--download-only", "--cache-dir", ""}, "download:"},
      {{"--download-only", "--cache-dir", "relative"}, "download:relative"},
      {{"--download-only", "--cache-dir"}, usage},
      {{"--download-only", "--cachedir", "C:\\x"}, usage},
      {{"--download-only", "--cache-dir", "a", "b"}, usage},
      {{"--download-only", "--cache-dir", "a", "b", "c", "d"}, usage},
      {{"--verify-package", "p", "--signature-file", "s", "--version", "1.2.3"}, "verify:p|s|1.2.3"},
      {{"--version", "1.2.3", "--verify-package", "p", "--signature-file", "s"}, "verify:p|s|1.2.3"},
      {{"--signature-file", "--version", "--version", "--x", "--verify-package", "--p"},
       "verify:--p|--version|--x"},
      {{"--verify-package", "p", "--signature-file", "s", "--version", "1.2.3", "x"}, unknown},
      {{"--verify-package", "p", "--signature-file", "s", "--version"}, unknown},
      {{"--verify-package", "p", "--version", "1", "--version", "2"}, pairs},
      {{"--verify-package", "", "--signature-file", "s", "--version", "1"}, pairs},
      {{"--verify-package", "p", "--signature-file", "s", "--version", ""}, pairs},
      {{"--verify-package", "p", "--signature-file", "s", "--Version", "1"}, pairs},
      {{"--check-only", "a", "b", "c", "d", "e"}, pairs},
      {{"--check-only", "a", "b", "c", "d"}, unknown},
      {{"--check-only", "a", "b", "c", "d", "e", "f"}, unknown},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    EXPECT_EQ(describe(parse_arguments(c.args)), c.expected) << joined;
  }
}

TEST(Arguments, HelpTextEndsWithOneLineFeedAndHidesAliases) {
  ASSERT_TRUE(kHelpText.ends_with(".\n"));
  EXPECT_FALSE(kHelpText.ends_with("\n\n"));
  EXPECT_EQ(std::count(kHelpText.begin(), kHelpText.end(), '\n'), 11);
  EXPECT_EQ(kHelpText.find("-h\n"), std::string_view::npos);
  EXPECT_EQ(kHelpText.find("/?"), std::string_view::npos);
}

}  // namespace
}  // namespace nuvo
