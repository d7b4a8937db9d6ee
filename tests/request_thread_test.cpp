// The hand-over between the transport's I/O thread and its caller: time
// limits, the bounded body buffer, and abandoning a transfer.
#include "http/request_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <new>
#include <numeric>

#include "channel_config.h"

namespace nuvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr TransferTimeouts kShort{300ms, 300ms};

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t first = 0) {
  std::vector<std::uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

// Reads to the end or the first error; the error text, if any, in `error`.
std::vector<std::uint8_t> read_all(HttpBody& body, std::string* error, std::size_t chunk = 7) {
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> buffer(chunk);
  for (;;) {
    auto n = body.read(buffer);
    if (!n) {
      *error = n.error();
      return out;
    }
    if (*n == 0) return out;
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n));
  }
}

// Waits until the transfer is aborted, as a blocked OS call would, woken by
// the canceller; gives up after a while so that a missing wake-up fails the
// test instead of hanging it.
void wait_for_abort(Transfer& t, std::atomic<int>* cancels = nullptr) {
  std::promise<void> woken;
  auto done = woken.get_future();
  t.set_canceller([&] {
    if (cancels) ++*cancels;
    woken.set_value();
  });
  EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
  t.set_canceller({});
}

TEST(RequestThread, HeaderLookupIgnoresAsciiCaseOnly) {
  HttpResponse r;
  r.headers = {{"Content-Length", "5"}, {"ETag", "a"}, {"etag", "b"}, {"\xC3\x89T", "x"}};
  EXPECT_EQ(r.header("content-length"), "5");
  EXPECT_EQ(r.header("ETAG"), "a");  // the first of two
  EXPECT_EQ(r.header("\xC3\xA9t"), std::nullopt);
  EXPECT_EQ(r.header("Content-Lengt"), std::nullopt);
  EXPECT_EQ(r.header(""), std::nullopt);
}

TEST(RequestThread, RefusesWhatCannotBeSentWithoutSending) {
  const struct {
    std::string_view url;
    HttpHeader header;
    bool sent;
  } cases[] = {
      {"https://nuvor.test/a", {"Accept-Encoding", "identity"}, true},
      {"HTTPS://nuvor.test/a", {"If-Range", "\"x\"\t"}, true},
      {"https://nuvor.test/a", {"X-Empty", ""}, true},
      {"http://nuvor.test/a", {"A", "b"}, false},
      {"https:/nuvor.test/a", {"A", "b"}, false},
      {"https://", {"A", "b"}, false},
      {"https://nuvor.test/a b", {"A", "b"}, false},
      {"https://nuvor.test/a\r\nX: y", {"A", "b"}, false},
      {"https://nuvor.test/a", {"A", "b\r\nX-Injected: 1"}, false},
      {"https://nuvor.test/a", {"A", std::string("b\0c", 3)}, false},
      {"https://nuvor.test/a", {"Bad Name", "b"}, false},
      {"https://nuvor.test/a", {"", "b"}, false},
      {"https://nuvor.test/a", {"A:", "b"}, false},
  };
  for (const auto& c : cases) {
    std::atomic<int> performed = 0;
    auto thread = RequestThread::start(
        [&](Transfer& t, const HttpRequest&) {
          ++performed;
          t.set_head({200, {}});
          t.finish();
        },
        kShort);
    ASSERT_TRUE(thread.ok());
    const auto response = (*thread)->get(c.url, {c.header});
    EXPECT_EQ(response.ok(), c.sent) << c.url << " " << c.header.name;
    EXPECT_EQ(performed, c.sent ? 1 : 0) << c.url;
  }
}

TEST(RequestThread, StreamsTheBodyInOrderAndEnds) {
  const auto data = bytes(600'000);  // more than the buffer holds at once
  auto thread = RequestThread::start(
      [&](Transfer& t, const HttpRequest& request) {
        EXPECT_EQ(request.url, "https://nuvor.test/x");
        EXPECT_EQ(request.headers.size(), 1u);
        t.set_head({206, {{"Content-Range", "bytes 0-1/2"}}});
        for (std::size_t at = 0; at < data.size(); at += 100'000)
          ASSERT_TRUE(t.write(std::span(data).subspan(at, 100'000)));
        t.finish();
      },
      kShort);
  ASSERT_TRUE(thread.ok());
  auto response = (*thread)->get("https://nuvor.test/x", {{"A", "b"}});
  ASSERT_TRUE(response.ok()) << response.error();
  EXPECT_EQ(response->status, 206);
  EXPECT_EQ(response->header("content-range"), "bytes 0-1/2");
  std::string error;
  EXPECT_EQ(read_all(*response->body, &error, 4096), data);
  EXPECT_EQ(error, "");
  std::uint8_t more[4];
  EXPECT_EQ(response->body->read(more).value(), 0u);  // the end stays the end
}

TEST(RequestThread, FailuresReachTheCallerAfterTheData) {
  const struct {
    std::size_t sent_before;  // body bytes; SIZE_MAX: fail before the head
    std::string error;
  } cases[] = {{SIZE_MAX, "TLS refused"}, {0, "reset"}, {10, "cut after 10"}};
  for (const auto& c : cases) {
    auto thread = RequestThread::start(
        [&](Transfer& t, const HttpRequest&) {
          if (c.sent_before != SIZE_MAX) {
            t.set_head({200, {}});
            ASSERT_TRUE(t.write(bytes(c.sent_before)));
          }
          t.fail(c.error);
        },
        kShort);
    ASSERT_TRUE(thread.ok());
    auto response = (*thread)->get("https://nuvor.test/x", {});
    if (c.sent_before == SIZE_MAX) {
      ASSERT_FALSE(response.ok());
      EXPECT_EQ(response.error(), c.error);
      continue;
    }
    ASSERT_TRUE(response.ok());
    std::string error;
    EXPECT_EQ(read_all(*response->body, &error), bytes(c.sent_before));
    EXPECT_EQ(error, c.error);
  }
}

TEST(RequestThread, TimeLimitsComeFromTheBuild) {
  // Every published build waits 20 s; a test build may be configured shorter,
  // and the thread's waits follow the build, whatever it is.
  const TransferTimeouts built;
  const auto configured = std::chrono::seconds(config::kRequestTimeoutSeconds);
  const struct {
    const char* name;
    std::chrono::milliseconds limit;
    std::chrono::milliseconds expected;
  } cases[] = {
      {"release value", std::chrono::seconds(config::kReleaseRequestTimeoutSeconds), 20s},
      {"head, connection included", built.head, configured},
      {"each body read", built.read, configured},
  };
  for (const auto& c : cases) EXPECT_EQ(c.limit, c.expected) << c.name;
}

TEST(RequestThread, HeadWaitIsBoundedAndWakesTheIoThread) {
  std::atomic<int> cancels = 0;
  std::atomic<int> performed = 0;
  auto thread = RequestThread::start(
      [&](Transfer& t, const HttpRequest& request) {
        ++performed;
        if (request.url.ends_with("/slow")) return wait_for_abort(t, &cancels);
        t.set_head({200, {}});
        t.finish();
      },
      kShort);
  ASSERT_TRUE(thread.ok());
  const auto start = Clock::now();
  const auto slow = (*thread)->get("https://nuvor.test/slow", {});
  const auto waited = Clock::now() - start;
  ASSERT_FALSE(slow.ok());
  EXPECT_NE(slow.error().find("timed out"), std::string::npos);
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 2s);

  // The I/O thread was woken and serves the next request at once.
  const auto next_start = Clock::now();
  EXPECT_TRUE((*thread)->get("https://nuvor.test/fast", {}).ok());
  EXPECT_LT(Clock::now() - next_start, 1s);
  EXPECT_EQ(cancels, 1);
  EXPECT_EQ(performed, 2);
}

TEST(RequestThread, EachReadWaitsForAStallNotForTheWhole) {
  std::promise<void> stalled_out;
  std::promise<Clock::time_point> last_write;
  auto thread = RequestThread::start(
      [&](Transfer& t, const HttpRequest&) {
        t.set_head({200, {}});
        // Slow but steady: a little more often than the read limit.
        for (int i = 0; i < 6; ++i) {
          std::this_thread::sleep_for(150ms);
          if (!t.write(bytes(3, static_cast<std::uint8_t>(3 * i)))) return;
        }
        last_write.set_value(Clock::now());
        // Then silence.
        wait_for_abort(t);
        stalled_out.set_value();
      },
      kShort);
  ASSERT_TRUE(thread.ok());
  auto response = (*thread)->get("https://nuvor.test/x", {});
  ASSERT_TRUE(response.ok());
  const auto start = Clock::now();
  std::string error;
  EXPECT_EQ(read_all(*response->body, &error), bytes(18));
  const auto ended = Clock::now();
  EXPECT_NE(error.find("timed out"), std::string::npos);
  // The whole body took longer than one read limit; the stall was counted
  // from the last bytes the writer gave, not from the start of the body.
  EXPECT_GE(ended - start, kShort.read);
  EXPECT_GE(ended - last_write.get_future().get(), kShort.read);
  // The stall also ended the transfer on the I/O thread.
  EXPECT_EQ(stalled_out.get_future().wait_for(2s), std::future_status::ready);
  std::uint8_t more[4];
  EXPECT_FALSE(response->body->read(more).ok());
}

TEST(RequestThread, ProgressOfABlockStillFillingIsNotAStall) {
  std::promise<Clock::time_point> filling_from;
  auto thread = RequestThread::start(
      [&](Transfer& t, const HttpRequest&) {
        filling_from.set_value(Clock::now());
        t.set_head({200, {}});
        // The OS client is filling a block: bytes reach it, none reach us.
        for (int i = 0; i < 6; ++i) {
          std::this_thread::sleep_for(150ms);
          t.note_progress();
        }
        if (!t.write(bytes(5))) return;
        wait_for_abort(t);  // then nothing at all
      },
      kShort);
  ASSERT_TRUE(thread.ok());
  auto response = (*thread)->get("https://nuvor.test/x", {});
  ASSERT_TRUE(response.ok());
  std::uint8_t buffer[8];
  auto n = response->body->read(buffer);
  ASSERT_TRUE(n.ok()) << n.error();
  EXPECT_EQ(std::vector(buffer, buffer + *n), bytes(5));
  // The read took the bytes that came after 900 ms of progress alone.
  EXPECT_GE(Clock::now() - filling_from.get_future().get(), 900ms);
  const auto silent = Clock::now();
  n = response->body->read(buffer);
  ASSERT_FALSE(n.ok());
  EXPECT_NE(n.error().find("timed out"), std::string::npos);
  EXPECT_GE(Clock::now() - silent, 300ms);
  EXPECT_LT(Clock::now() - silent, 1500ms);
}

// A cancel or an overall deadline ends any wait within a few polls and
// aborts the request on the I/O thread, however the server behaves: no head,
// a stalled body, or a block that keeps filling (progress without bytes).
TEST(RequestThread, StopEndsEveryWaitAtOnce) {
  enum class Server { kNoHead, kStalledBody, kFillingBlock };
  const struct {
    Server server;
    bool by_deadline;
  } cases[] = {
      {Server::kNoHead, false},       {Server::kNoHead, true},
      {Server::kStalledBody, false},  {Server::kStalledBody, true},
      {Server::kFillingBlock, false}, {Server::kFillingBlock, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.server) * 2 + c.by_deadline);
    std::promise<void> aborted;
    auto thread = RequestThread::start(
        [&](Transfer& t, const HttpRequest&) {
          if (c.server != Server::kNoHead) t.set_head({200, {}});
          while (!t.aborted()) {
            if (c.server == Server::kFillingBlock) t.note_progress();
            std::this_thread::sleep_for(10ms);
          }
          aborted.set_value();
        },
        TransferTimeouts{10s, 10s});
    ASSERT_TRUE(thread.ok());
    std::atomic<bool> cancel = false;
    RequestStop stop{&cancel, std::nullopt};
    const auto stop_at = Clock::now() + 300ms;
    if (c.by_deadline) stop.deadline = stop_at;
    auto canceller = std::async(std::launch::async, [&] {
      if (c.by_deadline) return;
      std::this_thread::sleep_until(stop_at);
      cancel = true;
    });

    std::string error;
    auto response = (*thread)->get("https://nuvor.test/x", {}, stop);
    if (c.server == Server::kNoHead) {
      ASSERT_FALSE(response.ok());
      error = response.error();
    } else {
      ASSERT_TRUE(response.ok()) << response.error();
      EXPECT_TRUE(read_all(*response->body, &error).empty());
    }
    const auto late = Clock::now() - stop_at;
    EXPECT_EQ(error, c.by_deadline ? "the deadline passed" : "cancelled");
    EXPECT_LT(late, 100ms);
    EXPECT_EQ(aborted.get_future().wait_for(1s), std::future_status::ready);
  }
}

TEST(RequestThread, BufferIsBoundedAndDroppingTheBodyFreesTheWriter) {
  Transfer transfer(16);
  transfer.set_head({200, {}});
  auto writer = std::async(std::launch::async, [&] { return transfer.write(bytes(64)); });
  EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout);  // full at 16 bytes

  std::uint8_t chunk[10];
  std::vector<std::uint8_t> got;
  while (got.size() < 32) {
    auto n = transfer.read(chunk, 1s);
    ASSERT_TRUE(n.ok()) << n.error();
    got.insert(got.end(), chunk, chunk + *n);
  }
  EXPECT_EQ(std::vector(got.begin(), got.begin() + 32), bytes(32));
  EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout);

  transfer.abort("the response body was dropped");
  ASSERT_EQ(writer.wait_for(1s), std::future_status::ready);
  EXPECT_FALSE(writer.get());
  EXPECT_FALSE(transfer.write(bytes(1)));
}

TEST(RequestThread, DroppingTheResponseOrTheClientEndsTheTransfer) {
  std::atomic<int> cancels = 0;
  std::promise<void> ended;
  auto thread = RequestThread::start(
      [&](Transfer& t, const HttpRequest&) {
        t.set_head({200, {}});
        wait_for_abort(t, &cancels);
        ended.set_value();
      },
      kShort);
  ASSERT_TRUE(thread.ok());
  auto response = (*thread)->get("https://nuvor.test/x", {});
  ASSERT_TRUE(response.ok());
  response->body.reset();
  EXPECT_EQ(ended.get_future().wait_for(1s), std::future_status::ready);
  EXPECT_EQ(cancels, 1);

  // The client goes away while a body is still held: the thread ends, and
  // the body reports an error instead of waiting.
  std::promise<void> second_ended;
  auto client = RequestThread::start(
      [&](Transfer& t, const HttpRequest&) {
        t.set_head({200, {}});
        wait_for_abort(t);
        second_ended.set_value();
      },
      kShort);
  ASSERT_TRUE(client.ok());
  auto held = (*client)->get("https://nuvor.test/x", {});
  ASSERT_TRUE(held.ok());
  const auto start = Clock::now();
  client->reset();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(second_ended.get_future().wait_for(0s), std::future_status::ready);
  std::uint8_t buffer[4];
  EXPECT_FALSE(held->body->read(buffer).ok());
}

TEST(RequestThread, BrokenPerformsFailTheRequestNotTheThread) {
  int calls = 0;
  auto thread = RequestThread::start(
      [&](Transfer& t, const HttpRequest&) {
        ++calls;
        if (calls == 1) return;  // ends nothing
        if (calls == 2) throw std::bad_alloc();
        t.set_head({204, {}});
        t.finish();
      },
      kShort);
  ASSERT_TRUE(thread.ok());
  EXPECT_FALSE((*thread)->get("https://nuvor.test/1", {}).ok());
  const auto oom = (*thread)->get("https://nuvor.test/2", {});
  ASSERT_FALSE(oom.ok());
  EXPECT_EQ(oom.error(), "out of memory");
  const auto ok = (*thread)->get("https://nuvor.test/3", {});
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->status, 204);
}

}  // namespace
}  // namespace nuvo
