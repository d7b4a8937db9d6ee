// The HTTPS transport of the Windows build: WinHTTP (SChannel and the system
// certificate store) in asynchronous mode, driven from the transport's I/O
// thread.
//
// How the 20 s bound on the response head is kept: the calling thread waits
// on the transfer with a deadline 20 s after the call began, connection
// included (RequestThread::get), whatever WinHTTP does. When it passes, the
// transfer is aborted; the I/O thread, which only ever waits for completion
// callbacks, wakes at once and closes the request handle, which cancels the
// request. The asynchronous API is what makes that wake-up possible: a
// synchronous call can only be ended by closing its handle from another
// thread, and some WinHTTP implementations (Wine's) do not interrupt a
// running call that way, so a server sending an endless head would hold the
// I/O thread and every later request. WinHTTP's own limits stay in force
// beneath: 10 s to connect, 20 s for each send and receive, and
// WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT for the head.

// <winhttp.h> needs <windows.h>, which win32_support.h brings, first.
// clang-format off
#include "platform/win32_support.h"
#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "http/proxy.h"
#include "http/proxy_auth_win32.h"
#include "http/request_thread.h"
#include "http/resend.h"
#include "http/transport.h"
#include "http/winhttp_error_win32.h"
#include "http/winhttp_exchange_win32.h"
#include "http/winhttp_head_win32.h"
#include "platform/scoped_handle.h"

namespace nuvo {
namespace {

struct InternetTraits {
  using Native = HINTERNET;
  static Native invalid() { return nullptr; }
  static bool is_valid(Native h) { return h != nullptr; }
  static void close(Native h) {
    const DWORD saved = GetLastError();
    WinHttpCloseHandle(h);
    SetLastError(saved);
  }
};
using InternetHandle = ScopedHandle<InternetTraits>;

// The proxy variables as they were when the client was built.
EnvLookup environment_snapshot() {
  std::map<std::string, std::string, std::less<>> values;
  for (const char* name :
       {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    const std::wstring wide(name, name + std::char_traits<char>::length(name));
    // The size with the terminator; Windows caps a variable at 32767 characters.
    const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0 || size > 32768) continue;
    std::wstring value(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
    if (n == 0 || n >= size) continue;
    value.resize(n);
    values[name] = win32::narrow(value);
  }
  return [values = std::move(values)](std::string_view name) -> std::optional<std::string> {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  };
}

class WinHttpTransport final : public HttpTransport {
 public:
  // `direct` serves every request unless the environment names a proxy;
  // then `proxied`, when that proxy is one WinHTTP can use, serves the hosts
  // that no_proxy does not exempt. `credentials` are those of the proxy
  // variable, for a proxy that refuses the user's logon or asks for Basic.
  WinHttpTransport(InternetHandle direct, InternetHandle proxied, EnvLookup env, bool env_proxy,
                   std::optional<ProxyCredentials> credentials)
      : direct_(std::move(direct)),
        proxied_(std::move(proxied)),
        env_(std::move(env)),
        env_proxy_(env_proxy),
        credentials_(std::move(credentials)) {}

  Result<void, std::string> start() {
    auto thread = RequestThread::start(
        [this](Transfer& transfer, const HttpRequest& request) { perform(transfer, request); });
    if (!thread) return Failure{std::move(thread).error()};
    thread_ = std::move(thread).value();
    return {};
  }

  Result<HttpResponse, std::string> get(std::string_view url,
                                        const std::vector<HttpHeader>& headers,
                                        const RequestStop& stop) override {
    return thread_->get(url, headers, stop);
  }

 private:
  // On the I/O thread.
  void perform(Transfer& transfer, const HttpRequest& request) {
    if (auto failed = send(transfer, request); !failed.ok()) transfer.fail(failed.error());
  }

  struct Target {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;  // with the query, without the fragment
  };

  static Result<Target, std::string> crack(const std::string& url) {
    const auto wide = win32::widen(url);
    if (!wide) return Failure{std::string("the URL is not valid UTF-8")};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide->c_str(), 0, 0, &parts)) return Failure{last_winhttp_error()};
    if (parts.nScheme != INTERNET_SCHEME_HTTPS)
      return Failure{std::string("only https URLs are allowed")};
    Target target{std::wstring(parts.lpszHostName, parts.dwHostNameLength), parts.nPort,
                  std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength)};
    target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    target.path = target.path.substr(0, target.path.find(L'#'));
    if (target.path.empty() || target.path.front() != L'/') target.path.insert(0, L"/");
    return target;
  }

  // Only the session level of WinHTTP's proxy settings works everywhere
  // (Wine ignores WINHTTP_OPTION_PROXY on a request), hence two sessions.
  Result<HINTERNET, std::string> session_for(const std::wstring& host) const {
    if (!env_proxy_) return direct_.get();
    auto proxy = https_proxy_for(win32::narrow(host), env_);
    if (!proxy) return Failure{std::move(proxy).error()};
    if (!*proxy) return direct_.get();
    if (!proxied_.valid()) return Failure{std::string("WinHTTP can use only an http:// proxy")};
    return proxied_.get();
  }

  // The request with the fixed settings. Decompression is left off, as it
  // is by default.
  static Result<void, std::string> configure(HINTERNET req) {
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!WinHttpSetOption(req, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof(never)) ||
        !WinHttpSetTimeouts(req, kConnectTimeoutMs, kConnectTimeoutMs, kRequestTimeoutMs,
                            kRequestTimeoutMs))
      return Failure{last_winhttp_error()};
    // Best effort: WinHTTP versions without these options speak HTTP/1.1 only
    // and bound the head by the receive timeout alone.
    DWORD head_timeout = kRequestTimeoutMs;
    WinHttpSetOption(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head_timeout,
                     sizeof(head_timeout));
    DWORD http11_only = 0;
    WinHttpSetOption(req, WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &http11_only, sizeof(http11_only));
    return {};
  }

  Result<void, std::string> send(Transfer& transfer, const HttpRequest& request) {
    auto target = crack(request.url);
    if (!target) return Failure{std::move(target).error()};
    auto session = session_for(target->host);
    if (!session) return Failure{std::move(session).error()};
    // Without the variables the system's settings decide, so any request may
    // go through a proxy; with them, only the proxied session's do.
    const bool proxied = !env_proxy_ || *session != direct_.get();
    std::wstring extra_headers;
    for (const auto& h : request.headers) {
      const auto line = win32::widen(h.name + ": " + h.value + "\r\n");
      if (!line) return Failure{"header '" + h.name + "' is not valid UTF-8"};
      extra_headers += *line;
    }

    InternetHandle connection(WinHttpConnect(*session, target->host.c_str(), target->port, 0));
    if (!connection.valid()) return Failure{last_winhttp_error()};
    InternetHandle request_handle(
        WinHttpOpenRequest(connection.get(), L"GET", target->path.c_str(), nullptr,
                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request_handle.valid()) return Failure{last_winhttp_error()};
    const HINTERNET req = request_handle.get();
    if (auto configured = configure(req); !configured) return configured;

    // From here on WinHTTP owns one reference to the exchange and drops it
    // with the handle.
    auto* ref = new ExchangeRef(std::make_shared<Exchange>());
    const ExchangeRef x = *ref;
    auto context = reinterpret_cast<DWORD_PTR>(ref);
    if (!WinHttpSetOption(req, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context)) ||
        WinHttpSetStatusCallback(req, on_status,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                     WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE |
                                     WINHTTP_CALLBACK_FLAG_HANDLES |
                                     WINHTTP_CALLBACK_FLAG_SECURE_FAILURE,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
      const std::string error = last_winhttp_error();
      request_handle.reset();
      delete ref;
      return Failure{error};
    }
    const TransferScope scope(transfer, *x);

    // A proxy that asks who the user is (the system's proxy or the
    // variable's) gets each answer once, all on the same request handle;
    // after that its 407 is the response. The handle keeps the extra headers
    // of the first send for the next ones. WinHTTP itself may ask for the
    // request to be sent again, when it has taken up a challenge (the next
    // leg of Negotiate or NTLM): that too goes on the same handle, a few
    // times per request, within the same deadline.
    bool headers_added = false;
    ResendBudget resends;
    for (ProxyAuthAnswers answered = 0;;) {
      auto exchanged = send_until_answered(resends, [&]() -> Result<void, SendFailure> {
        const bool add_headers = !headers_added && !extra_headers.empty();
        headers_added = true;
        DWORD code = ERROR_SUCCESS;
        const auto failed = [&code](std::string text) {
          return Failure{SendFailure{std::move(text), code == ERROR_WINHTTP_RESEND_REQUEST}};
        };
        auto sent = await_call(
            transfer, *x,
            [&] {
              return WinHttpSendRequest(
                  req, add_headers ? extra_headers.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
                  add_headers ? static_cast<DWORD>(extra_headers.size()) : 0,
                  WINHTTP_NO_REQUEST_DATA, 0, 0, context);
            },
            &code);
        if (!sent) return failed(std::move(sent).error());
        auto received = await_call(
            transfer, *x, [&] { return WinHttpReceiveResponse(req, nullptr); }, &code);
        if (!received) return failed(std::move(received).error());
        return {};
      });
      if (!exchanged) return exchanged;

      auto head = query_head(req);
      if (!head) return Failure{std::move(head).error()};
      if (head->status == HTTP_STATUS_PROXY_AUTH_REQ) {
        if (const auto answer = answer_proxy_challenge(req, proxied, credentials_, answered)) {
          answered |= bit(*answer);
          continue;
        }
      }
      const auto expected = announced_length(*head);
      transfer.set_head(ResponseHead{head->status, std::move(head->headers)});
      return stream_body(transfer, *x, req, expected);
    }
  }

  // While the body is slow, each read asks only for what is available, so
  // that every byte is handed on as it comes and a stall loses nothing. Once
  // it runs fast (256 KiB within 250 ms), reads ask for whole blocks: each
  // availability query is a trip through WinHTTP's worker, which costs more
  // than the bytes of a TLS record. A block read that takes longer than
  // 250 ms goes back to the careful way; meanwhile WinHTTP's socket-read
  // notices keep the stall limit from firing while the block fills.
  static Result<void, std::string> stream_body(Transfer& transfer, Exchange& x, HINTERNET req,
                                               std::optional<std::uint64_t> expected) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kFastWindow = std::chrono::milliseconds(250);
    constexpr std::uint64_t kFastBytes = kReadChunk;  // a block's worth within the window
    std::uint64_t total = 0;
    bool blocks = false;
    auto window_start = Clock::now();
    std::uint64_t window_bytes = 0;
    for (;;) {
      DWORD want = kReadChunk;
      if (!blocks) {
        auto available =
            await_call(transfer, x, [&] { return WinHttpQueryDataAvailable(req, nullptr); });
        if (!available) return Failure{std::move(available).error()};
        if (*available == 0) break;
        want = std::min<DWORD>(*available, kReadChunk);
      }
      const auto started = Clock::now();
      auto read = await_call(transfer, x,
                             [&] { return WinHttpReadData(req, x.buffer.data(), want, nullptr); });
      if (!read) return Failure{std::move(read).error()};
      if (*read == 0) break;
      total += *read;
      if (!transfer.write(std::span(x.buffer.data(), *read))) return {};

      const auto now = Clock::now();
      if (blocks) {
        blocks = now - started <= kFastWindow;
        window_start = now;
        window_bytes = 0;
      } else if (now - window_start > kFastWindow) {
        window_start = now;
        window_bytes = *read;
      } else {
        window_bytes += *read;
        blocks = window_bytes >= kFastBytes;
      }
    }
    if (expected && total != *expected)
      return Failure{"the connection closed after " + std::to_string(total) + " of " +
                     std::to_string(*expected) + " body bytes"};
    transfer.finish();
    return {};
  }
  // Used only on the I/O thread, which ends first.
  InternetHandle direct_;
  InternetHandle proxied_;
  EnvLookup env_;
  bool env_proxy_;
  std::optional<ProxyCredentials> credentials_;
  std::unique_ptr<RequestThread> thread_;
};

Result<InternetHandle, std::string> open_session(DWORD access, const wchar_t* proxy) {
  const std::wstring user_agent(kUserAgent.begin(), kUserAgent.end());
  InternetHandle session(WinHttpOpen(user_agent.c_str(), access,
                                     proxy != nullptr ? proxy : WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (!session.valid() || !WinHttpSetTimeouts(session.get(), kConnectTimeoutMs, kConnectTimeoutMs,
                                              kRequestTimeoutMs, kRequestTimeoutMs))
    return Failure{last_winhttp_error()};
  return session;
}

}  // namespace

Result<std::unique_ptr<HttpTransport>, std::string> make_http_transport() {
  EnvLookup env = environment_snapshot();
  // With a proxy named in the environment, curl's rules decide per request;
  // without one, the system's proxy settings apply.
  const auto proxy_variable = https_proxy_variable(env);
  InternetHandle direct;
  InternetHandle proxied;
  if (proxy_variable) {
    auto session = open_session(WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr);
    if (!session) return Failure{std::move(session).error()};
    direct = std::move(session).value();
    // A proxy WinHTTP cannot use fails only the requests that would go through it.
    const auto proxy = parse_proxy(*proxy_variable);
    if (proxy && proxy->scheme == ProxyScheme::kHttp) {
      const auto name = win32::widen(winhttp_proxy_name(*proxy));
      auto via = open_session(WINHTTP_ACCESS_TYPE_NAMED_PROXY, name ? name->c_str() : L"");
      if (!via) return Failure{std::move(via).error()};
      proxied = std::move(via).value();
    }
  } else {
    auto session = open_session(WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr);
    if (!session) return Failure{std::move(session).error()};
    direct = std::move(session).value();
  }

  auto credentials = proxy_variable ? proxy_credentials(*proxy_variable) : std::nullopt;
  auto transport =
      std::make_unique<WinHttpTransport>(std::move(direct), std::move(proxied), std::move(env),
                                         proxy_variable.has_value(), std::move(credentials));
  if (auto started = transport->start(); !started) return Failure{std::move(started).error()};
  return std::unique_ptr<HttpTransport>(std::move(transport));
}

}  // namespace nuvo
