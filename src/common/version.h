// The program's own version, shown in the window and in the JSON reports.
#pragma once

#include <string_view>

namespace nuvo {

inline constexpr std::string_view BOOTSTRAP_VERSION = "0.9.1";

}  // namespace nuvo
