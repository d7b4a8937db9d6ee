// An in-memory HttpTransport: plays scripted answers and records requests.
#pragma once

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "http/transport.h"

namespace nuvo::test {

struct ScriptedAnswer {
  int status = 200;
  std::vector<HttpHeader> headers;
  std::string body;
  std::string error;              // when set, the request fails with it
  std::string body_error;         // when set, the body read fails after `body`
  std::function<void()> on_body_end;  // runs when the body has been read to its end
  std::function<void()> on_send;  // runs when the request is made
  // A server that never answers: the request (or, with hang_body, the first
  // body read after `body`) waits until the request's stop ends it.
  bool hang = false;
  bool hang_body = false;
};

// Waits, as a stalled server would make the transport wait, until `stop`
// says why it must end.
inline std::string wait_for_stop(const RequestStop& stop) {
  for (;;) {
    if (auto why = stop.reason()) return *why;
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
  }
}

struct RecordedRequest {
  std::string url;
  std::vector<HttpHeader> headers;
};

class FakeTransport final : public HttpTransport {
 public:
  std::deque<ScriptedAnswer> answers;  // the last one repeats
  // Answers for one URL exactly, taken before `answers`; the last one repeats.
  std::map<std::string, std::deque<ScriptedAnswer>> routes;
  std::vector<RecordedRequest> requests;

  Result<HttpResponse, std::string> get(std::string_view url,
                                        const std::vector<HttpHeader>& headers,
                                        const RequestStop& stop) override {
    requests.push_back({std::string(url), headers});
    const auto route = routes.find(std::string(url));
    auto& queue = route != routes.end() ? route->second : answers;
    if (queue.empty()) return Failure{std::string("no answer scripted")};
    ScriptedAnswer a = queue.front();
    if (queue.size() > 1) queue.pop_front();
    if (a.on_send) a.on_send();
    if (!a.error.empty()) return Failure{a.error};
    if (a.hang) return Failure{wait_for_stop(stop)};
    HttpResponse r;
    r.status = a.status;
    r.headers = a.headers;
    r.body = std::make_unique<Body>(std::move(a.body), std::move(a.body_error),
                                    std::move(a.on_body_end), a.hang_body ? &stop : nullptr);
    return r;
  }

 private:
  class Body final : public HttpBody {
   public:
    Body(std::string data, std::string error, std::function<void()> on_end,
         const RequestStop* hang)
        : data_(std::move(data)),
          error_(std::move(error)),
          on_end_(std::move(on_end)),
          hang_(hang ? std::optional<RequestStop>(*hang) : std::nullopt) {}
    Result<std::size_t, std::string> read(std::span<std::uint8_t> buffer) override {
      if (offset_ == data_.size() && hang_) return Failure{wait_for_stop(*hang_)};
      if (offset_ == data_.size() && !error_.empty()) return Failure{error_};
      if (offset_ == data_.size() && on_end_) std::exchange(on_end_, nullptr)();
      // Small pieces, as a network would give them.
      const std::size_t n = std::min({buffer.size(), data_.size() - offset_, std::size_t{7000}});
      std::copy_n(data_.data() + offset_, n, buffer.data());
      offset_ += n;
      return n;
    }

   private:
    std::string data_;
    std::string error_;
    std::function<void()> on_end_;
    std::optional<RequestStop> hang_;
    std::size_t offset_ = 0;
  };
};

}  // namespace nuvo::test
