// The choice of the answer to a proxy's 407, apart from the client that sends it.
#include "http/proxy_auth.h"

namespace nuvo {

std::optional<ProxyAuthAnswer> next_proxy_answer(ProxyAuthSchemes offered, AuthTarget target,
                                                 bool variable_has_credentials,
                                                 ProxyAuthAnswers answered) {
  if (target != AuthTarget::kProxy) return std::nullopt;
  // The strongest first: the user's own logon needs nothing from us. A
  // refused one (a machine outside the proxy's domain) leaves the variable's
  // credentials, for the same schemes and then for Basic.
  constexpr ProxyAuthAnswer kOrder[] = {
      {ProxyAuthScheme::kNegotiate, CredentialSource::kLoggedOnUser},
      {ProxyAuthScheme::kNtlm, CredentialSource::kLoggedOnUser},
      {ProxyAuthScheme::kNegotiate, CredentialSource::kProxyVariable},
      {ProxyAuthScheme::kNtlm, CredentialSource::kProxyVariable},
      {ProxyAuthScheme::kBasic, CredentialSource::kProxyVariable},
  };
  for (const auto& answer : kOrder) {
    if ((offered & bit(answer.scheme)) == 0 || (answered & bit(answer)) != 0) continue;
    if (answer.source == CredentialSource::kProxyVariable && !variable_has_credentials) continue;
    return answer;
  }
  return std::nullopt;
}

}  // namespace nuvo
