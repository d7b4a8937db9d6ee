// An unbounded first-in-first-out queue between exactly one sending and one
// receiving thread, without locks: a send never waits, and the receiver can
// tell an empty queue from one whose sender has gone.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

namespace nuvo {

template <class T>
class EventSender;
template <class T>
class EventReceiver;

namespace detail {

// A linked list in which the receiver owns the node it took last and the
// sender the node it appended last; each `next` pointer is written once by
// the sender and read by the receiver.
template <class T>
class EventList {
 public:
  EventList() : head_(new Node), tail_(head_) {}
  ~EventList() {
    while (head_ != nullptr) delete std::exchange(head_, head_->next.load());
  }
  EventList(const EventList&) = delete;
  EventList& operator=(const EventList&) = delete;

  // Sender side.
  void push(T value) {
    Node* node = new Node;
    node->value.emplace(std::move(value));
    tail_->next.store(node, std::memory_order_release);
    tail_ = node;
    const std::size_t depth = pushed_.fetch_add(1, std::memory_order_relaxed) + 1 -
                              popped_.load(std::memory_order_relaxed);
    if (depth > high_water_.load(std::memory_order_relaxed))
      high_water_.store(depth, std::memory_order_relaxed);
  }

  // Receiver side.
  std::optional<T> pop() {
    Node* next = head_->next.load(std::memory_order_acquire);
    if (next == nullptr) return std::nullopt;
    std::optional<T> value = std::move(next->value);
    next->value.reset();
    delete std::exchange(head_, next);
    popped_.fetch_add(1, std::memory_order_relaxed);
    return value;
  }

  std::atomic<bool> sender_open{true};
  std::atomic<bool> receiver_open{true};
  std::size_t high_water() const { return high_water_.load(std::memory_order_relaxed); }

 private:
  struct Node {
    std::atomic<Node*> next{nullptr};
    std::optional<T> value;
  };
  Node* head_;
  Node* tail_;
  std::atomic<std::size_t> pushed_{0};
  std::atomic<std::size_t> popped_{0};
  std::atomic<std::size_t> high_water_{0};
};

}  // namespace detail

template <class T>
std::pair<EventSender<T>, EventReceiver<T>> make_event_channel();

// Move-only; dropping it tells the receiver that nothing more will come.
template <class T>
class EventSender {
 public:
  EventSender() = default;  // sends nothing
  EventSender(EventSender&&) noexcept = default;
  EventSender& operator=(EventSender&& other) noexcept {
    close();
    list_ = std::move(other.list_);
    return *this;
  }
  ~EventSender() { close(); }

  // False, with the value dropped, once the receiver is gone.
  bool send(T value) {
    if (!list_ || !list_->receiver_open.load(std::memory_order_acquire)) return false;
    list_->push(std::move(value));
    return true;
  }

 private:
  friend std::pair<EventSender<T>, EventReceiver<T>> make_event_channel<T>();
  explicit EventSender(std::shared_ptr<detail::EventList<T>> list) : list_(std::move(list)) {}
  void close() {
    if (list_) list_->sender_open.store(false, std::memory_order_release);
    list_.reset();
  }
  std::shared_ptr<detail::EventList<T>> list_;
};

enum class Receive { kValue, kEmpty, kDisconnected };

template <class T>
class EventReceiver {
 public:
  EventReceiver() = default;  // disconnected
  EventReceiver(EventReceiver&&) noexcept = default;
  EventReceiver& operator=(EventReceiver&& other) noexcept {
    close();
    list_ = std::move(other.list_);
    return *this;
  }
  ~EventReceiver() { close(); }

  // Never waits. kDisconnected only once every value sent has been taken.
  Receive try_receive(std::optional<T>& out) {
    out.reset();
    if (!list_) return Receive::kDisconnected;
    if ((out = list_->pop())) return Receive::kValue;
    if (list_->sender_open.load(std::memory_order_acquire)) return Receive::kEmpty;
    // The sender may have sent its last value just before it went.
    if ((out = list_->pop())) return Receive::kValue;
    return Receive::kDisconnected;
  }

  // The most values that waited at once, for measurements.
  std::size_t high_water() const { return list_ ? list_->high_water() : 0; }

 private:
  friend std::pair<EventSender<T>, EventReceiver<T>> make_event_channel<T>();
  explicit EventReceiver(std::shared_ptr<detail::EventList<T>> list) : list_(std::move(list)) {}
  void close() {
    if (list_) list_->receiver_open.store(false, std::memory_order_release);
    list_.reset();
  }
  std::shared_ptr<detail::EventList<T>> list_;
};

template <class T>
std::pair<EventSender<T>, EventReceiver<T>> make_event_channel() {
  auto list = std::make_shared<detail::EventList<T>>();
  return {EventSender<T>(list), EventReceiver<T>(list)};
}

}  // namespace nuvo
