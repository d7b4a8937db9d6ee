// An in-memory HttpTransport: plays scripted answers and records requests.
#pragma once

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "http/transport.h"

namespace nuvo::test {

struct ScriptedAnswer {
  int status = 200;
  std::vector<HttpHeader> headers;
  std::string body;
  std::string error;              // when set, the request fails with it
  std::string body_error;         // when set, the body read fails after `body`
  std::function<void()> on_send;  // runs when the request is made
};

struct RecordedRequest {
  std::string url;
  std::vector<HttpHeader> headers;
};

class FakeTransport final : public HttpTransport {
 public:
  std::deque<ScriptedAnswer> answers;  // the last one repeats
  std::vector<RecordedRequest> requests;

  Result<HttpResponse, std::string> get(std::string_view url,
                                        const std::vector<HttpHeader>& headers) override {
    requests.push_back({std::string(url), headers});
    if (answers.empty()) return Failure{std::string("no answer scripted")};
    ScriptedAnswer a = answers.front();
    if (answers.size() > 1) answers.pop_front();
    if (a.on_send) a.on_send();
    if (!a.error.empty()) return Failure{a.error};
    HttpResponse r;
    r.status = a.status;
    r.headers = a.headers;
    r.body = std::make_unique<Body>(std::move(a.body), std::move(a.body_error));
    return r;
  }

 private:
  class Body final : public HttpBody {
   public:
    Body(std::string data, std::string error) : data_(std::move(data)), error_(std::move(error)) {}
    Result<std::size_t, std::string> read(std::span<std::uint8_t> buffer) override {
      if (offset_ == data_.size() && !error_.empty()) return Failure{error_};
      // Small pieces, as a network would give them.
      const std::size_t n = std::min({buffer.size(), data_.size() - offset_, std::size_t{7000}});
      std::copy_n(data_.data() + offset_, n, buffer.data());
      offset_ += n;
      return n;
    }

   private:
    std::string data_;
    std::string error_;
    std::size_t offset_ = 0;
  };
};

}  // namespace nuvo::test
