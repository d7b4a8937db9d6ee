// Splitting a Windows command line the way the Microsoft C run-time does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nuvo {

// Returns every argument, the program name first. An empty command line
// yields just `module_path`, as CommandLineToArgvW does.
std::vector<std::u16string> split_command_line(std::u16string_view line,
                                               std::u16string_view module_path);

}  // namespace nuvo
