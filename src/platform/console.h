// The standard output and error streams the parent process gave us.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/file.h"

namespace nuvo {

enum class StdStream { Out, Err };

// Writes UTF-8 text unbuffered. Text for a missing stream is dropped silently.
void write_std(StdStream stream, std::string_view utf8);

// One line of standard input without its line break, at most `limit` bytes;
// nothing when the input ends before the line does. When standard input is a
// terminal (or a console), `prompt` goes to standard error once echo is off;
// the terminal's mode comes back when the line is read, and also when the
// process is interrupted, ended or stopped meanwhile; what was typed after
// the line or past the limit is thrown away. The line has room for `limit`
// bytes from the start, so no copy of it is left behind; the caller wipes it.
Result<std::optional<std::string>, OsError> read_secret_line(std::string_view prompt,
                                                             std::size_t limit);

}  // namespace nuvo
