// The transport's private I/O thread: it runs one request at a time for the
// platform's HTTP client while the caller waits with the fixed time limits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/result.h"
#include "http/transfer.h"
#include "http/transport.h"

namespace nuvo {

struct HttpRequest {
  std::string url;
  std::vector<HttpHeader> headers;
};

struct TransferTimeouts {
  std::chrono::milliseconds head{kRequestTimeoutMs};  // from the call, connection included
  std::chrono::milliseconds read{kRequestTimeoutMs};  // each body read
};

// An "https://" URL with nothing that could split a request line.
bool is_https_url(std::string_view url);
// A token name and a value without control characters other than tab.
bool is_sendable_header(const HttpHeader& header);

class RequestThread {
 public:
  // Runs on the I/O thread and ends the transfer: set_head, the body, then
  // finish; or fail at any point. It should return soon after an abort.
  using Perform = std::function<void(Transfer&, const HttpRequest&)>;

  static Result<std::unique_ptr<RequestThread>, std::string> start(Perform perform,
                                                                   TransferTimeouts timeouts = {});
  // Aborts whatever is queued or running, then waits for the thread.
  ~RequestThread();
  RequestThread(const RequestThread&) = delete;
  RequestThread& operator=(const RequestThread&) = delete;

  Result<HttpResponse, std::string> get(std::string_view url,
                                        const std::vector<HttpHeader>& headers,
                                        const RequestStop& stop = {});

 private:
  struct Job {
    std::shared_ptr<Transfer> transfer;
    HttpRequest request;
  };

  RequestThread(Perform perform, TransferTimeouts timeouts);
  void run();

  const Perform perform_;
  const TransferTimeouts timeouts_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  std::shared_ptr<Transfer> running_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace nuvo
