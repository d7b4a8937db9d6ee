// The hand-over between the I/O thread and the reader of one response.
#include "http/transfer.h"

#include <algorithm>
#include <cstring>

namespace nuvo {

Transfer::Transfer(std::size_t buffer_bytes) : ring_(buffer_bytes) {}

void Transfer::set_state(State next) {
  state_ = next;
  changed_.notify_all();
}

void Transfer::set_head(ResponseHead head) {
  std::lock_guard lock(mu_);
  if (aborted() || state_ != State::kAwaitingHead) return;
  head_ = std::move(head);
  set_state(State::kReceiving);
}

bool Transfer::write(std::span<const std::uint8_t> data) {
  std::unique_lock lock(mu_);
  while (!data.empty()) {
    changed_.wait(lock, [&] { return aborted() || size_ < ring_.size(); });
    if (aborted() || state_ != State::kReceiving) return false;
    const std::size_t end = (begin_ + size_) % ring_.size();
    const std::size_t n = std::min({data.size(), ring_.size() - size_, ring_.size() - end});
    std::memcpy(ring_.data() + end, data.data(), n);
    // The reader waits only on an empty ring.
    if (size_ == 0) changed_.notify_all();
    size_ += n;
    data = data.subspan(n);
  }
  return true;
}

void Transfer::finish() {
  std::lock_guard lock(mu_);
  if (aborted() || state_ != State::kReceiving) return;
  set_state(State::kComplete);
}

void Transfer::fail(std::string error) {
  std::lock_guard lock(mu_);
  if (state_ == State::kComplete || state_ == State::kFailed) return;
  error_ = std::move(error);
  set_state(State::kFailed);
}

void Transfer::note_progress() {
  progress_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

void Transfer::set_canceller(std::function<void()> cancel) {
  std::lock_guard lock(mu_);
  canceller_ = std::move(cancel);
  if (canceller_ && aborted()) std::exchange(canceller_, nullptr)();
}

void Transfer::abort(const std::string& reason) {
  std::lock_guard lock(mu_);
  if (aborted_.exchange(true, std::memory_order_acq_rel)) return;
  if (state_ == State::kAwaitingHead || state_ == State::kReceiving) {
    error_ = reason;
    set_state(State::kFailed);
  }
  if (canceller_) std::exchange(canceller_, nullptr)();
  changed_.notify_all();
}

template <class Ready>
std::optional<std::string> Transfer::wait_watching(std::unique_lock<std::mutex>& lock,
                                                   Clock::time_point until,
                                                   const RequestStop& stop, Ready ready) {
  if (!stop.watched()) {
    changed_.wait_until(lock, until, ready);
    return std::nullopt;
  }
  constexpr auto kPoll = std::chrono::milliseconds(kStopPollMs);
  while (!ready()) {
    if (auto why = stop.reason()) return why;
    const auto now = Clock::now();
    if (now >= until) return std::nullopt;
    changed_.wait_until(lock, std::min(until, now + kPoll), ready);
  }
  return std::nullopt;
}

Result<ResponseHead, std::string> Transfer::wait_head(Clock::time_point deadline,
                                                      const RequestStop& stop) {
  std::unique_lock lock(mu_);
  const auto ready = [&] { return state_ != State::kAwaitingHead; };
  const auto stopped = wait_watching(lock, deadline, stop, ready);
  if (!ready()) {
    const std::string why = stopped.value_or("timed out waiting for the response head");
    lock.unlock();
    abort(why);
    return Failure{why};
  }
  if (head_.status == 0) return Failure{error_};
  return std::move(head_);
}

Result<std::size_t, std::string> Transfer::read(std::span<std::uint8_t> out,
                                                Clock::duration timeout, const RequestStop& stop) {
  if (out.empty()) return Failure{std::string("empty read buffer")};
  std::unique_lock lock(mu_);
  const auto ready = [&] { return size_ > 0 || state_ != State::kReceiving; };
  auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto stopped = wait_watching(lock, deadline, stop, ready);
    if (ready()) break;
    if (!stopped) {
      const Clock::time_point progress(
          Clock::duration(progress_.load(std::memory_order_relaxed)));
      if (progress + timeout > deadline) {
        deadline = progress + timeout;
        continue;
      }
    }
    lock.unlock();
    abort(stopped.value_or("timed out waiting for body data"));
    lock.lock();
    break;
  }
  if (size_ == 0) {
    if (state_ == State::kComplete) return std::size_t{0};
    return Failure{error_};
  }
  // The I/O thread waits only on a full ring.
  if (size_ == ring_.size()) changed_.notify_all();
  std::size_t copied = 0;
  while (copied < out.size() && size_ > 0) {
    const std::size_t n = std::min({out.size() - copied, size_, ring_.size() - begin_});
    std::memcpy(out.data() + copied, ring_.data() + begin_, n);
    begin_ = (begin_ + n) % ring_.size();
    size_ -= n;
    copied += n;
  }
  return copied;
}

}  // namespace nuvo
