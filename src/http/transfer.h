// One response in flight: the state the transport's I/O thread fills and the
// calling thread waits on, with a bounded body buffer between the two.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "http/transport.h"

namespace nuvo {

inline constexpr std::size_t kBodyBufferBytes = 256 * 1024;
// Caps on the response head, whatever the OS client would accept.
inline constexpr std::size_t kMaxHeadBytes = 64 * 1024;
inline constexpr std::size_t kMaxHeaderCount = 256;

struct ResponseHead {
  int status = 0;
  std::vector<HttpHeader> headers;
};

class Transfer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Transfer(std::size_t buffer_bytes = kBodyBufferBytes);
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // I/O thread side. Once aborted, every call is ignored and the I/O thread
  // should stop the transfer as soon as it notices.
  bool aborted() const { return aborted_.load(std::memory_order_acquire); }
  void set_head(ResponseHead head);
  // Blocks while the buffer is full; false once the transfer is aborted.
  bool write(std::span<const std::uint8_t> data);
  void finish();
  void fail(std::string error);
  // Bytes reached the OS client that it has not handed over yet (a read for
  // a whole block is still filling): the body is not stalled. Cheap enough
  // for every socket read.
  void note_progress();
  // Runs under the transfer's lock when the caller aborts, to cut a blocking
  // OS call short. Cleared with an empty function, which also waits for a
  // canceller that is running.
  void set_canceller(std::function<void()> cancel);

  // Caller side. Both waits abort the transfer when `stop` asks for it.
  Result<ResponseHead, std::string> wait_head(Clock::time_point deadline,
                                              const RequestStop& stop = {});
  // Buffered bytes first; then 0 at the end, or the transfer's error. Fails
  // when neither bytes nor progress came for `timeout`.
  Result<std::size_t, std::string> read(std::span<std::uint8_t> out, Clock::duration timeout,
                                        const RequestStop& stop = {});
  void abort(const std::string& reason);

 private:
  enum class State {
    kAwaitingHead,  // request sent or being sent, no response head yet
    kReceiving,     // head delivered, body bytes may still arrive
    kComplete,      // the whole body is in the buffer or was read
    kFailed,        // error_ says why; buffered bytes are still readable
  };
  void set_state(State next);  // with mu_ held
  // Waits with mu_ held until `ready` or `until`, waking to look at `stop`;
  // returns the stop's reason if that ended the wait.
  template <class Ready>
  std::optional<std::string> wait_watching(std::unique_lock<std::mutex>& lock,
                                           Clock::time_point until, const RequestStop& stop,
                                           Ready ready);

  mutable std::mutex mu_;
  std::condition_variable changed_;
  State state_ = State::kAwaitingHead;
  ResponseHead head_;
  std::string error_;
  std::vector<std::uint8_t> ring_;
  std::size_t begin_ = 0;
  std::size_t size_ = 0;
  std::atomic<bool> aborted_{false};
  std::atomic<Clock::rep> progress_{0};  // time of the last note_progress
  std::function<void()> canceller_;
};

}  // namespace nuvo
