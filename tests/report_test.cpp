#include "cli/report.h"

#include <gtest/gtest.h>

namespace nuvo {
namespace {

TEST(Report, CompactSortedUnescapedUtf8) {
  EXPECT_EQ(format_report({{"installer_verified", false},
                           {"installer_url", std::string("https://x/a")},
                           {"bootstrap_version", std::string("0.9.1")},
                           {"available_version", std::string("1.4.2")}}),
            "{\"available_version\":\"1.4.2\",\"bootstrap_version\":\"0.9.1\","
            "\"installer_url\":\"https://x/a\",\"installer_verified\":false}\n");

  // "installed" sorts before "installer_verified"; Windows paths show doubled
  // backslashes; Cyrillic is written as it is.
  EXPECT_EQ(format_report({{"path", std::string("C:\\Пользователи\\a\"b")},
                           {"installer_verified", true},
                           {"installed", false}}),
            "{\"installed\":false,\"installer_verified\":true,"
            "\"path\":\"C:\\\\Пользователи\\\\a\\\"b\"}\n");

  EXPECT_EQ(format_report({{"version", std::string("a\tb\n\x01\x1f")}}),
            "{\"version\":\"a\\tb\\n\\u0001\\u001f\"}\n");
  EXPECT_EQ(format_report({}), "{}\n");
}

}  // namespace
}  // namespace nuvo
