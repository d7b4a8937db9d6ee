#include "download/classify.h"
#include "http/header_number.h"

#include <gtest/gtest.h>

namespace nuvo {
namespace {

using Action = ClassifiedResponse::Action;
using K = SetupErrorKind;

HttpResponse response(int status, std::vector<HttpHeader> headers) {
  HttpResponse r;
  r.status = status;
  r.headers = std::move(headers);
  return r;
}

TEST(Classify, Numbers) {
  const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
      {"0", 0},
      {"+12", 12},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"-1", std::nullopt},
      {"++1", std::nullopt},
      {" 1", std::nullopt},
      {"1.0", std::nullopt},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(parse_http_number(text), value) << text;
}

TEST(Classify, Validators) {
  const struct {
    std::vector<HttpHeader> headers;
    std::optional<std::string> expected;
  } cases[] = {
      {{{"ETag", "\"abc\""}}, "\"abc\""},
      {{{"etag", "\"abc\""}, {"Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT"}}, "\"abc\""},
      {{{"ETag", "W/\"abc\""}, {"Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT"}},
       "Wed, 21 Oct 2015 07:28:00 GMT"},
      {{{"ETag", "W/\"abc\""}}, std::nullopt},
      {{{"ETag", "abc"}}, std::nullopt},
      {{{"ETag", "\"" + std::string(1022, 'a') + "\""}}, "\"" + std::string(1022, 'a') + "\""},
      {{{"ETag", "\"" + std::string(1023, 'a') + "\""}}, std::nullopt},
      {{{"ETag", "\"caf\xC3\xA9\""}}, std::nullopt},
      {{{"Last-Modified", std::string(128, 'x')}}, std::string(128, 'x')},
      {{{"Last-Modified", std::string(129, 'x')}}, std::nullopt},
      {{{"Last-Modified", ""}}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(response_validator(response(200, c.headers)), c.expected)
        << (c.headers.empty() ? "" : c.headers[0].value);
  }
}

struct Case {
  const char* name;
  int status;
  std::vector<HttpHeader> headers;
  std::uint64_t offset;
  std::optional<std::string> stored_validator;
  std::optional<std::uint64_t> stored_total;
  Action action;
  // For Store: where, what to record and how long the body must be.
  std::uint64_t store_offset = 0;
  std::optional<std::uint64_t> total = std::nullopt;
  std::optional<std::string> validator = std::nullopt;
  std::optional<std::uint64_t> body_length = std::nullopt;
  K failure = K::DownloadFailed;
};

TEST(Classify, Outcomes) {
  const std::string etag = "\"v1\"";
  const std::uint64_t mib = 1 << 20;
  const Case cases[] = {
      {"fresh 200", 200, {{"Content-Length", "1000"}, {"ETag", etag}}, 0, std::nullopt,
       std::nullopt, Action::Store, 0, 1000, etag, 1000},
      {"200 without length", 200, {{"Last-Modified", "Mon"}}, 0, std::nullopt, std::nullopt,
       Action::Store, 0, std::nullopt, "Mon", std::nullopt},
      {"200 to a resumed request starts over", 200, {{"Content-Length", "1000"}, {"ETag", "\"v2\""}},
       500, etag, 1000, Action::Store, 0, 1000, "\"v2\"", 1000},
      {"200 announcing nothing", 200, {{"Content-Length", "0"}}, 0, std::nullopt, std::nullopt,
       Action::Fail, 0, {}, {}, {}, K::InvalidPackageSize},
      {"200 above 512 MiB", 200, {{"Content-Length", "536870913"}}, 0, std::nullopt, std::nullopt,
       Action::Fail, 0, {}, {}, {}, K::InvalidPackageSize},
      {"200 of exactly 512 MiB", 200, {{"Content-Length", "536870912"}}, 0, std::nullopt,
       std::nullopt, Action::Store, 0, 536870912, std::nullopt, 536870912},
      {"malformed length", 200, {{"Content-Length", "12a"}}, 0, std::nullopt, std::nullopt,
       Action::Fail},
      {"length of only +", 200, {{"Content-Length", "+"}}, 0, std::nullopt, std::nullopt,
       Action::Fail},
      {"resumed 206", 206,
       {{"Content-Length", "8388608"}, {"Content-Range", "bytes 1048576-9437183/20971520"}, {"ETag", etag}},
       mib, etag, 20971520, Action::Store, mib, 20971520, etag, 8388608},
      {"206 without validator keeps the stored one", 206,
       {{"Content-Range", "bytes 1048576-9437183/20971520"}}, mib, etag, 20971520, Action::Store,
       mib, 20971520, etag, 8388608},
      {"206 without stored total", 206, {{"Content-Range", "bytes 10-19/20"}}, 10, etag,
       std::nullopt, Action::Store, 10, 20, etag, 10},
      {"206 with another ETag", 206, {{"Content-Range", "bytes 10-19/20"}, {"ETag", "\"v2\""}}, 10,
       etag, 20, Action::DiscardRetry},
      {"206 from another offset", 206, {{"Content-Range", "bytes 0-19/20"}}, 10, etag, 20,
       Action::DiscardRetry},
      {"206 with another total", 206, {{"Content-Range", "bytes 10-19/30"}}, 10, etag, 20,
       Action::DiscardRetry},
      {"206 with a length that does not match", 206,
       {{"Content-Range", "bytes 10-19/20"}, {"Content-Length", "5"}}, 10, etag, 20,
       Action::DiscardRetry},
      {"206 with last beyond the end", 206, {{"Content-Range", "bytes 10-20/20"}}, 10, etag, 20,
       Action::DiscardRetry},
      {"206 with last before first", 206, {{"Content-Range", "bytes 10-9/20"}}, 10, etag, 20,
       Action::DiscardRetry},
      {"206 without Content-Range", 206, {}, 10, etag, 20, Action::DiscardRetry},
      {"206 with a malformed Content-Range", 206, {{"Content-Range", "bytes=10-19/20"}}, 10, etag,
       20, Action::DiscardRetry},
      {"206 with an unknown total", 206, {{"Content-Range", "bytes 10-19/*"}}, 10, etag, 20,
       Action::DiscardRetry},
      {"206 with a total of 0", 206, {{"Content-Range", "bytes 0-0/0"}}, 10, etag, 20,
       Action::Fail, 0, {}, {}, {}, K::InvalidPackageSize},
      {"206 above 512 MiB", 206, {{"Content-Range", "bytes 10-19/536870913"}}, 10, etag, 20,
       Action::Fail, 0, {}, {}, {}, K::InvalidPackageSize},
      {"416 for a complete part", 416, {{"Content-Range", "bytes */20"}}, 20, etag, 20,
       Action::Complete},
      {"416 without stored total", 416, {{"Content-Range", "bytes */20"}}, 20, etag, std::nullopt,
       Action::DiscardRetry},
      {"416 without stored validator", 416, {{"Content-Range", "bytes */20"}}, 20, std::nullopt, 20,
       Action::DiscardRetry},
      {"416 with another size", 416, {{"Content-Range", "bytes */21"}}, 20, etag, 20,
       Action::DiscardRetry},
      {"416 without Content-Range", 416, {}, 20, etag, 20, Action::DiscardRetry},
      {"404", 404, {}, 0, std::nullopt, std::nullopt, Action::Fail},
      {"304", 304, {}, 10, etag, 20, Action::Fail},
      {"503", 503, {{"Content-Length", "10"}}, 0, std::nullopt, std::nullopt, Action::Fail},
  };
  for (const auto& c : cases) {
    const auto got =
        classify_response(response(c.status, c.headers), c.offset, c.stored_validator, c.stored_total);
    EXPECT_EQ(got.action, c.action) << c.name;
    if (c.action == Action::Store) {
      EXPECT_EQ(got.offset, c.store_offset) << c.name;
      EXPECT_EQ(got.total, c.total) << c.name;
      EXPECT_EQ(got.validator, c.validator) << c.name;
      EXPECT_EQ(got.body_length, c.body_length) << c.name;
    }
    if (c.action == Action::Fail) {
      EXPECT_EQ(got.failure, c.failure) << c.name;
    }
  }
}

}  // namespace
}  // namespace nuvo
