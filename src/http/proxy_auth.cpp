// The choice of the answer to a proxy's 407, apart from the client that sends it.
#include "http/proxy_auth.h"

namespace nuvo {

std::optional<ProxyAuthAnswer> next_proxy_answer(ProxyAuthSchemes offered, AuthTarget target,
                                                 bool variable_has_credentials,
                                                 ProxyAuthSchemes answered) {
  if (target != AuthTarget::kProxy) return std::nullopt;
  // The strongest first: the user's own logon needs nothing from us, and a
  // refused one still leaves the variable's credentials for Basic.
  constexpr ProxyAuthAnswer kOrder[] = {
      {ProxyAuthScheme::kNegotiate, CredentialSource::kLoggedOnUser},
      {ProxyAuthScheme::kNtlm, CredentialSource::kLoggedOnUser},
      {ProxyAuthScheme::kBasic, CredentialSource::kProxyVariable},
  };
  for (const auto& answer : kOrder) {
    const auto scheme = bit(answer.scheme);
    if ((offered & scheme) == 0 || (answered & scheme) != 0) continue;
    if (answer.source == CredentialSource::kProxyVariable && !variable_has_credentials) continue;
    return answer;
  }
  return std::nullopt;
}

}  // namespace nuvo
