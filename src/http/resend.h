// A request sent again on the same handle when the HTTP client asks for it
// (WinHTTP's ERROR_WINHTTP_RESEND_REQUEST: a redirect or an authentication
// challenge it has taken up itself, such as the next leg of Negotiate or
// NTLM), a bounded number of times per request.
#pragma once

#include <string>
#include <utility>

#include "common/result.h"

namespace nuvo {

// One for each round a request can take: its first send and one after each
// of the five answers to a proxy's 407 (next_proxy_answer).
inline constexpr int kMaxResends = 6;

// A send and the wait for the response head that failed: why, and whether
// the client asked for the same request to be sent again.
struct SendFailure {
  std::string text;
  bool resend = false;
};

// The resends a request has left; one budget for the whole request, across
// its answers to the proxy.
class ResendBudget {
 public:
  bool take() {
    if (used_ == kMaxResends) return false;
    ++used_;
    return true;
  }

 private:
  int used_ = 0;
};

// Calls `send` until it succeeds or fails for good. A request to send again
// is followed while the budget lasts; after that it stands as the failure.
// The caller's deadline bounds it as it bounds every call of `send`.
template <class Send>
Result<void, std::string> send_until_answered(ResendBudget& budget, Send send) {
  for (;;) {
    Result<void, SendFailure> sent = send();
    if (sent) return {};
    if (!sent.error().resend || !budget.take()) return Failure{std::move(sent).error().text};
  }
}

}  // namespace nuvo
