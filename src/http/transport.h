// One HTTPS GET at a time, with no policy of its own beyond the fixed client
// settings: the narrow interface between the request rules and the OS's HTTP
// stack (WinHTTP on Windows, libcurl in the Linux stand-in).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "channel_config.h"
#include "common/result.h"

namespace nuvo {

inline constexpr std::string_view kUserAgent = "NuvoSetup/0.1.0";
inline constexpr int kConnectTimeoutMs = 10'000;
// Bounds the wait for the response head, and separately every body read; a
// setting of the build (20 s in every published one).
inline constexpr int kRequestTimeoutMs = config::kRequestTimeoutSeconds * 1000;

// What ends a request early besides its own time limits: the run's cancel
// flag and an overall deadline. Every wait of the transport, for the head or
// for body bytes, looks at it at least every kStopPollMs and then aborts the
// request in flight.
struct RequestStop {
  const std::atomic<bool>* cancel = nullptr;
  std::optional<std::chrono::steady_clock::time_point> deadline;

  bool watched() const { return cancel != nullptr || deadline.has_value(); }
  // Why the request must end now; empty while it may go on.
  std::optional<std::string> reason() const;
};

inline constexpr int kStopPollMs = 20;

struct HttpHeader {
  std::string name;
  std::string value;
};

// The body of one response, read by the caller on its own thread. Each read
// waits at most kRequestTimeoutMs for data, and ends early when the request's
// stop says so; there is no other bound on the whole.
class HttpBody {
 public:
  virtual ~HttpBody() = default;
  // Returns 0 at the end of the body; the error text is the client's own.
  virtual Result<std::size_t, std::string> read(std::span<std::uint8_t> buffer) = 0;
};

struct HttpResponse {
  int status = 0;
  std::vector<HttpHeader> headers;  // as received, in order
  std::unique_ptr<HttpBody> body;   // dropping it abandons the transfer

  // The first header of that name, compared without regard to ASCII case.
  std::optional<std::string_view> header(std::string_view name) const;
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // A GET of an https URL with exactly the given extra headers, following no
  // redirect, decoding nothing. The error text is the client's own. `stop`
  // also governs every read of the body.
  virtual Result<HttpResponse, std::string> get(std::string_view url,
                                                const std::vector<HttpHeader>& headers,
                                                const RequestStop& stop) = 0;
};

// The real client of this platform, with the fixed settings: https only, no
// redirects, HTTP/1.1, user agent kUserAgent, the timeouts above, the proxy
// from the environment as curl reads it.
Result<std::unique_ptr<HttpTransport>, std::string> make_http_transport();

}  // namespace nuvo
