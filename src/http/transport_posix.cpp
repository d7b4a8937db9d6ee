// The HTTPS transport of the Linux stand-in: libcurl with OpenSSL and the
// system CA bundle, driven from the transport's I/O thread.

#include <cstdlib>
#include <mutex>
#include <new>

#include "http/proxy.h"
#include "http/curl_api_posix.h"
#include "http/request_thread.h"
#include "http/transport.h"

namespace nuvo {
namespace {

struct CurlDeleter {
  void operator()(CURL* easy) const { curl_api().easy_cleanup(easy); }
};
using CurlEasy = std::unique_ptr<CURL, CurlDeleter>;

struct CurlMultiDeleter {
  void operator()(CURLM* multi) const { curl_api().multi_cleanup(multi); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_api().slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, SlistDeleter>;

// False when out of memory; the list is unchanged then.
bool append(CurlSlist& list, const std::string& line) {
  curl_slist* head = curl_api().slist_append(list.get(), line.c_str());
  if (head == nullptr) return false;
  static_cast<void>(list.release());
  list.reset(head);
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// What the callbacks of one transfer share.
struct CurlExchange {
  CURL* easy = nullptr;
  Transfer* transfer = nullptr;
  ResponseHead head;
  std::size_t head_bytes = 0;
  bool head_sent = false;
  std::string own_error;  // set when a callback stops the transfer

  std::size_t on_header(std::string_view line) {
    if (head_sent) return line.size();  // trailers of a chunked body
    head_bytes += line.size();
    if (head_bytes > kMaxHeadBytes || head.headers.size() >= kMaxHeaderCount) {
      own_error = "the response head is too large";
      return 0;
    }
    const auto text = trim(line);
    if (text.empty()) {
      long status = 0;
      curl_api().easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      if (status >= 100 && status < 200) {  // an interim response; the real one follows
        head = {};
        return line.size();
      }
      head.status = static_cast<int>(status);
      transfer->set_head(std::move(head));
      head_sent = true;
    } else if (line.starts_with("HTTP/")) {
      head.headers.clear();
    } else if ((line.front() == ' ' || line.front() == '\t') && !head.headers.empty()) {
      head.headers.back().value += ' ';  // a folded continuation line
      head.headers.back().value += text;
    } else if (const auto colon = text.find(':'); colon != std::string_view::npos) {
      head.headers.push_back(
          {std::string(text.substr(0, colon)), std::string(trim(text.substr(colon + 1)))});
    }
    return line.size();
  }

  std::size_t on_body(std::span<const std::uint8_t> data) {
    if (!head_sent || !transfer->write(data)) {
      if (own_error.empty()) own_error = "the transfer was abandoned";
      return CURL_WRITEFUNC_ERROR;
    }
    return data.size();
  }
};

extern "C" std::size_t header_cb(char* data, std::size_t size, std::size_t count, void* user) {
  return static_cast<CurlExchange*>(user)->on_header(std::string_view(data, size * count));
}

extern "C" std::size_t write_cb(char* data, std::size_t size, std::size_t count, void* user) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  return static_cast<CurlExchange*>(user)->on_body(std::span(bytes, size * count));
}

// What libcurl may answer a proxy that asks who the user is (407), once per
// request: with the variable's credentials, Basic or NTLM; without them,
// Negotiate with the user's own Kerberos ticket, where libcurl has it. The
// empty user name is how libcurl is told to try Negotiate without one.
struct ProxyAuth {
  long schemes = CURLAUTH_BASIC;
  const char* empty_login = nullptr;
};

ProxyAuth proxy_auth(bool variable_has_credentials) {
  if (variable_has_credentials) return {CURLAUTH_BASIC | CURLAUTH_NTLM, nullptr};
  const curl_version_info_data* info = curl_api().version_info(CURLVERSION_NOW);
  if ((info->features & CURL_VERSION_SPNEGO) != 0) return {CURLAUTH_NEGOTIATE, ":"};
  return {};
}

class CurlTransport final : public HttpTransport {
 public:
  // libcurl reads the proxy variables itself; `proxy_variable` is what it
  // will find, kept to strip its credentials from libcurl's error texts.
  CurlTransport(CurlEasy easy, CurlMulti multi, std::optional<std::string> proxy_variable)
      : easy_(std::move(easy)),
        multi_(std::move(multi)),
        proxy_variable_(std::move(proxy_variable)),
        proxy_auth_(proxy_auth(proxy_variable_ && proxy_credentials(*proxy_variable_))) {}

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
    CURL* easy = easy_.get();
    curl_api().easy_reset(easy);

    CurlSlist headers;
    bool has_accept = false;
    for (const auto& h : request.headers) {
      // "Name;" is how curl is told to send a header with an empty value.
      if (!append(headers, h.value.empty() ? h.name + ";" : h.name + ": " + h.value))
        throw std::bad_alloc();
      has_accept = has_accept || curl_api().strequal(h.name.c_str(), "Accept");
    }
    // curl would add "Accept: */*"; only the given headers go out.
    if (!has_accept && !append(headers, "Accept:")) throw std::bad_alloc();

    CurlExchange exchange;
    exchange.easy = easy;
    exchange.transfer = &transfer;
    char error[CURL_ERROR_SIZE] = {};
    const std::string user_agent(kUserAgent);
    const bool options_ok =
        curl_api().easy_setopt(easy, CURLOPT_URL, request.url.c_str()) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_1}) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_USERAGENT, user_agent.c_str()) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long{kConnectTimeoutMs}) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_ERRORBUFFER, error) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_HEADERFUNCTION, header_cb) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_HEADERDATA, &exchange) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_WRITEFUNCTION, write_cb) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_WRITEDATA, &exchange) == CURLE_OK &&
        curl_api().easy_setopt(easy, CURLOPT_PROXYAUTH, proxy_auth_.schemes) == CURLE_OK &&
        (proxy_auth_.empty_login == nullptr ||
         curl_api().easy_setopt(easy, CURLOPT_PROXYUSERPWD, proxy_auth_.empty_login) == CURLE_OK);
    if (!options_ok) {
      transfer.fail("libcurl refused the client settings");
      return;
    }

    const CURLcode rc = run(transfer);
    curl_api().easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    if (rc == CURLE_OK && exchange.head_sent) {
      transfer.finish();
    } else if (!exchange.own_error.empty()) {
      transfer.fail(exchange.own_error);
    } else if (rc == CURLE_OK) {
      transfer.fail("the response had no head");
    } else {
      std::string detail = error[0] != '\0' ? error : curl_api().easy_strerror(rc);
      if (proxy_variable_) detail = without_proxy_credentials(std::move(detail), *proxy_variable_);
      transfer.fail(detail + " (curl error " + std::to_string(rc) + ")");
    }
  }

  // Drives the transfer until it ends or is aborted; an abort wakes the wait
  // at once, and removing the unfinished transfer closes its connection.
  CURLcode run(Transfer& transfer) {
    CURLM* multi = multi_.get();
    CURL* easy = easy_.get();
    if (curl_api().multi_add_handle(multi, easy) != CURLM_OK) return CURLE_FAILED_INIT;
    transfer.set_canceller([multi] { curl_api().multi_wakeup(multi); });
    CURLcode rc = CURLE_OK;
    int running = 1;
    while (running > 0) {
      if (curl_api().multi_perform(multi, &running) != CURLM_OK) {
        rc = CURLE_FAILED_INIT;
        break;
      }
      if (transfer.aborted()) {
        rc = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      if (running > 0 && curl_api().multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
        rc = CURLE_FAILED_INIT;
        break;
      }
    }
    transfer.set_canceller({});
    int left = 0;
    while (CURLMsg* msg = curl_api().multi_info_read(multi, &left))
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy && rc == CURLE_OK)
        rc = msg->data.result;
    curl_api().multi_remove_handle(multi, easy);
    return rc;
  }

  // Used only on the I/O thread, which ends first. The multi handle keeps
  // the connection cache between requests, as curl does by default.
  CurlEasy easy_;
  CurlMulti multi_;
  std::optional<std::string> proxy_variable_;
  ProxyAuth proxy_auth_;
  std::unique_ptr<RequestThread> thread_;
};

}  // namespace

Result<std::unique_ptr<HttpTransport>, std::string> make_http_transport() {
  if (load_curl() == nullptr) return Failure{std::string("libcurl.so.4 could not be loaded")};
  static std::once_flag once;
  static CURLcode init = CURLE_OK;
  std::call_once(once, [] { init = curl_api().global_init(CURL_GLOBAL_DEFAULT); });
  if (init != CURLE_OK) return Failure{std::string("libcurl could not be initialised")};

  CurlEasy easy(curl_api().easy_init());
  CurlMulti multi(curl_api().multi_init());
  if (!easy || !multi) return Failure{std::string("libcurl could not create a handle")};
  auto transport = std::make_unique<CurlTransport>(
      std::move(easy), std::move(multi),
      https_proxy_variable([](std::string_view name) -> std::optional<std::string> {
        const char* value = std::getenv(std::string(name).c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
      }));
  if (auto started = transport->start(); !started) return Failure{std::move(started).error()};
  return std::unique_ptr<HttpTransport>(std::move(transport));
}

}  // namespace nuvo
