// A value or the reason there is none: how every step reports failure.
#pragma once

#include <cstdlib>
#include <optional>
#include <utility>
#include <variant>

namespace nuvo {

template <class E>
struct Failure {
  E error;
};

template <class E>
Failure(E) -> Failure<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Failure<F> f) : v_(std::in_place_index<1>, E(std::move(f.error))) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class F>
  Result(Failure<F> f) : e_(E(std::move(f.error))) {}

  bool ok() const { return !e_.has_value(); }
  explicit operator bool() const { return ok(); }
  const E& error() const& { return *e_; }
  E&& error() && { return std::move(*e_); }

 private:
  std::optional<E> e_;
};

}  // namespace nuvo
