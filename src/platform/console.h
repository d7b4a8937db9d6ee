// The standard output and error streams the parent process gave us.
#pragma once

#include <string_view>

namespace nuvo {

enum class StdStream { Out, Err };

// Writes UTF-8 text unbuffered. Text for a missing stream is dropped silently.
void write_std(StdStream stream, std::string_view utf8);

}  // namespace nuvo
