// How a request answers a proxy that asks who the user is (407): the
// logged-on user's own credentials for Negotiate and NTLM, then the proxy
// variable's for Negotiate, NTLM and Basic, each answer at most once per
// request.
#pragma once

#include <cstdint>
#include <optional>

namespace nuvo {

// Bits of a set of schemes; our own values, not WinHTTP's.
enum class ProxyAuthScheme : std::uint8_t { kNegotiate = 1, kNtlm = 2, kBasic = 4 };
using ProxyAuthSchemes = std::uint8_t;

constexpr ProxyAuthSchemes bit(ProxyAuthScheme scheme) {
  return static_cast<ProxyAuthSchemes>(scheme);
}

// Who asked: only a proxy the request goes through is ever given credentials;
// a server reached directly that asks as a proxy would counts as a server.
enum class AuthTarget : std::uint8_t { kServer, kProxy };

enum class CredentialSource : std::uint8_t {
  kLoggedOnUser,   // the system answers for the user; no password is known to us
  kProxyVariable,  // the user name and password in the proxy variable
};

struct ProxyAuthAnswer {
  ProxyAuthScheme scheme;
  CredentialSource source;
  bool operator==(const ProxyAuthAnswer&) const = default;
};

// Bits of a set of answers: the scheme's bit, moved up for the variable's.
using ProxyAuthAnswers = std::uint8_t;
constexpr ProxyAuthAnswers bit(ProxyAuthAnswer answer) {
  return static_cast<ProxyAuthAnswers>(
      bit(answer.scheme) << (answer.source == CredentialSource::kProxyVariable ? 3 : 0));
}

// The next answer to a challenge, given the schemes it offers and the answers
// this request has given already; nullopt when none is left and the 407 stands.
std::optional<ProxyAuthAnswer> next_proxy_answer(ProxyAuthSchemes offered, AuthTarget target,
                                                 bool variable_has_credentials,
                                                 ProxyAuthAnswers answered);

}  // namespace nuvo
