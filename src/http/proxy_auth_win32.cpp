// The answer to a proxy's 407 in WinHTTP's terms.
#include "http/proxy_auth_win32.h"

namespace nuvo {
namespace {

constexpr struct {
  DWORD winhttp;
  ProxyAuthScheme ours;
} kSchemes[] = {
    {WINHTTP_AUTH_SCHEME_NEGOTIATE, ProxyAuthScheme::kNegotiate},
    {WINHTTP_AUTH_SCHEME_NTLM, ProxyAuthScheme::kNtlm},
    {WINHTTP_AUTH_SCHEME_BASIC, ProxyAuthScheme::kBasic},
};

// Zeroed before it is freed: the password's wide copy.
struct WideSecret {
  std::optional<std::wstring> text;
  ~WideSecret() {
    if (text) SecureZeroMemory(text->data(), text->size() * sizeof(wchar_t));
  }
};

}  // namespace

std::optional<ProxyAuthAnswer> answer_proxy_challenge(
    HINTERNET request, bool proxied, const std::optional<ProxyCredentials>& credentials,
    ProxyAuthAnswers answered, const WinHttpAuthCalls& calls) {
  DWORD supported = 0;
  DWORD first = 0;
  DWORD target = 0;
  if (!calls.query_schemes(request, &supported, &first, &target)) return std::nullopt;
  // Every request is HTTPS, so the proxy's own 407 is its answer to CONNECT.
  // A WinHTTP that does not know the option (older Windows 10 builds) cannot
  // tell; there a proxied request's 407 is taken as the proxy's, as before,
  // rather than leaving every authenticating proxy unanswered.
  BOOL tunnel = FALSE;
  DWORD size = sizeof(tunnel);
  const bool from_proxy =
      proxied && target == WINHTTP_AUTH_TARGET_PROXY &&
      (!calls.query_option(request, WINHTTP_OPTION_IS_PROXY_CONNECT_RESPONSE, &tunnel, &size) ||
       tunnel);
  ProxyAuthSchemes offered = 0;
  for (const auto& s : kSchemes)
    if (supported & s.winhttp) offered |= bit(s.ours);
  const auto answer =
      next_proxy_answer(offered, from_proxy ? AuthTarget::kProxy : AuthTarget::kServer,
                        credentials.has_value(), answered);
  if (!answer) return std::nullopt;

  DWORD scheme = 0;
  for (const auto& s : kSchemes)
    if (s.ours == answer->scheme) scheme = s.winhttp;
  if (answer->source == CredentialSource::kLoggedOnUser) {
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    if (!calls.set_option(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy)) ||
        !calls.set_credentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr,
                               nullptr))
      return std::nullopt;
    return answer;
  }
  const auto user = win32::widen(credentials->user);
  const WideSecret password{win32::widen(credentials->password)};
  if (!user || !password.text ||
      !calls.set_credentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, user->c_str(),
                             password.text->c_str(), nullptr))
    return std::nullopt;
  return answer;
}

}  // namespace nuvo
