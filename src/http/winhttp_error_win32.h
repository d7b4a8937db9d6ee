// What a failed WinHTTP call says: WinHTTP's own text for its error codes, our
// words where its DLL carries none, and why a server certificate was refused.
#pragma once

#include <string>

#include "platform/win32_support.h"

namespace nuvo {

// The description of a WinHTTP or system error code, with the number.
std::string winhttp_error(DWORD code);

// The same for the thread's last error.
std::string last_winhttp_error();

// What WinHTTP's secure-failure flags say, as the start of the message that
// the request's error completes; empty when no flag is set.
std::string secure_failure_text(DWORD flags);

}  // namespace nuvo
