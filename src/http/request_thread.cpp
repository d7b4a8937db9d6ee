// Queues requests for the I/O thread and hands their responses to the caller.
#include "http/request_thread.h"

#include <new>
#include <system_error>

#include "common/ascii.h"

namespace nuvo {
namespace {

bool is_tchar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

class TransferBody final : public HttpBody {
 public:
  TransferBody(std::shared_ptr<Transfer> transfer, std::chrono::milliseconds timeout,
               RequestStop stop)
      : transfer_(std::move(transfer)), timeout_(timeout), stop_(stop) {}
  ~TransferBody() override { transfer_->abort("the response body was dropped"); }

  Result<std::size_t, std::string> read(std::span<std::uint8_t> buffer) override {
    return transfer_->read(buffer, timeout_, stop_);
  }

 private:
  std::shared_ptr<Transfer> transfer_;
  std::chrono::milliseconds timeout_;
  RequestStop stop_;
};

}  // namespace

bool is_https_url(std::string_view url) {
  constexpr std::string_view kScheme = "https://";
  if (url.size() <= kScheme.size() || !ascii_istarts_with(url, kScheme)) return false;
  for (const char c : url)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
  return true;
}

bool is_sendable_header(const HttpHeader& header) {
  if (header.name.empty()) return false;
  for (const char c : header.name)
    if (!is_tchar(c)) return false;
  for (const char c : header.value) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7F) return false;
  }
  return true;
}

RequestThread::RequestThread(Perform perform, TransferTimeouts timeouts)
    : perform_(std::move(perform)), timeouts_(timeouts) {}

Result<std::unique_ptr<RequestThread>, std::string> RequestThread::start(
    Perform perform, TransferTimeouts timeouts) {
  std::unique_ptr<RequestThread> self(new RequestThread(std::move(perform), timeouts));
  try {
    self->thread_ = std::thread(&RequestThread::run, self.get());
  } catch (const std::system_error& e) {
    return Failure{std::string("cannot start the HTTP thread: ") + e.what()};
  }
  return self;
}

RequestThread::~RequestThread() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    for (auto& job : queue_) job.transfer->abort("the HTTP client was closed");
    if (running_) running_->abort("the HTTP client was closed");
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

Result<HttpResponse, std::string> RequestThread::get(std::string_view url,
                                                     const std::vector<HttpHeader>& headers,
                                                     const RequestStop& stop) {
  const auto deadline = Transfer::Clock::now() + timeouts_.head;
  if (!is_https_url(url)) return Failure{std::string("only https URLs are allowed")};
  for (const auto& h : headers)
    if (!is_sendable_header(h)) return Failure{"invalid request header '" + h.name + "'"};

  auto transfer = std::make_shared<Transfer>();
  {
    std::lock_guard lock(mu_);
    queue_.push_back(Job{transfer, HttpRequest{std::string(url), headers}});
  }
  wake_.notify_all();

  auto head = transfer->wait_head(deadline, stop);
  if (!head) return Failure{std::move(head).error()};
  HttpResponse response;
  response.status = head->status;
  response.headers = std::move(head->headers);
  response.body = std::make_unique<TransferBody>(std::move(transfer), timeouts_.read, stop);
  return response;
}

void RequestThread::run() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mu_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      running_ = job.transfer;
    }
    if (!job.transfer->aborted()) {
      try {
        perform_(*job.transfer, job.request);
      } catch (const std::bad_alloc&) {
        job.transfer->fail("out of memory");
      }
    }
    job.transfer->fail("the HTTP client ended the transfer without a response");
    std::lock_guard lock(mu_);
    running_.reset();
  }
}

}  // namespace nuvo
