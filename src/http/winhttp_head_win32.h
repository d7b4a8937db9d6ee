// The response head as WinHTTP hands it over: the status, the header lines of
// its raw form, and the body length they announce.
#pragma once

// clang-format off
#include "platform/win32_support.h"
#include <winhttp.h>
// clang-format on

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.h"
#include "http/transport.h"

namespace nuvo {

// The head of a request whose response has been received, within the
// transfer's caps on its size and its number of headers.
Result<HttpResponse, std::string> query_head(HINTERNET req);

// The body length the response announces, when the end of the body is known
// by it. Used to tell a cut connection from the end of the body.
std::optional<std::uint64_t> announced_length(const HttpResponse& response);

}  // namespace nuvo
