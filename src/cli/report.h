// The one-line JSON reports of the diagnostic modes.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace nuvo {

using ReportValue = std::variant<std::string, bool>;
using ReportEntry = std::pair<std::string, ReportValue>;

// Compact JSON, keys in byte order, UTF-8 written as is, ending in a line feed.
std::string format_report(const std::vector<ReportEntry>& entries);

}  // namespace nuvo
