// nuvo-release's entry: dispatch of the commands and their exit codes.
#pragma once

#include <string>
#include <vector>

namespace nuvo::release {

inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// `args` excludes the program name. 0 only on success.
int run_release_tool(const std::vector<std::string>& args);

}  // namespace nuvo::release
