// The WinHTTP calls that answer a proxy's 407, through a table that a test
// can fill with its own functions in place of WinHTTP's.
#pragma once

// clang-format off
#include "platform/win32_support.h"
#include <winhttp.h>
// clang-format on

#include <optional>

#include "http/proxy.h"
#include "http/proxy_auth.h"

namespace nuvo {

struct WinHttpAuthCalls {
  decltype(&WinHttpQueryAuthSchemes) query_schemes = &WinHttpQueryAuthSchemes;
  decltype(&WinHttpSetCredentials) set_credentials = &WinHttpSetCredentials;
  decltype(&WinHttpSetOption) set_option = &WinHttpSetOption;
  decltype(&WinHttpQueryOption) query_option = &WinHttpQueryOption;
};

// After a 407 on `request`: gives WinHTTP the next answer (next_proxy_answer)
// for the request to be sent again, and returns it; nullopt when there is
// none and the 407 stands. Only a proxy's answer to the tunnel's CONNECT is
// answered, and only when `proxied` (the request is not one the proxy
// variables send directly): every request is HTTPS, so a 407 from anywhere
// else comes from the server itself. The logged-on user's credentials go as
// NULL user and password with the automatic logon policy lowered, so that the
// system logs on to the proxy by itself.
std::optional<ProxyAuthAnswer> answer_proxy_challenge(
    HINTERNET request, bool proxied, const std::optional<ProxyCredentials>& credentials,
    ProxyAuthAnswers answered, const WinHttpAuthCalls& calls = {});

}  // namespace nuvo
