// The process entry shared by both platforms: grammar, dispatch and streams.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nuvo {

// `args` excludes the program name; empty when an argument was not valid
// Unicode. Returns the process exit code.
int run_cli(const std::optional<std::vector<std::string>>& args);

}  // namespace nuvo
