// The process entry shared by both platforms: grammar, dispatch and streams.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nuvo {

// `args` excludes the program name; empty when an argument was not valid
// Unicode. `open_window` runs the setup window for an empty argument list.
// Returns the process exit code.
int run_cli(const std::optional<std::vector<std::string>>& args,
            const std::function<int()>& open_window);

}  // namespace nuvo
