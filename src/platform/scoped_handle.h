// One move-only owner per kind of operating-system handle.
#pragma once

#include <cstdint>
#include <utility>

namespace nuvo {

// Traits: `Native`, `static Native invalid()`, `static bool is_valid(Native)`,
// `static void close(Native)`. close() must keep the thread's last error.
template <class Traits>
class ScopedHandle {
 public:
  using Native = typename Traits::Native;

  ScopedHandle() : h_(Traits::invalid()) {}
  explicit ScopedHandle(Native h) : h_(h) {}
  ScopedHandle(ScopedHandle&& o) noexcept : h_(o.release()) {}
  ScopedHandle& operator=(ScopedHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { reset(); }

  bool valid() const { return Traits::is_valid(h_); }
  Native get() const { return h_; }
  [[nodiscard]] Native release() { return std::exchange(h_, Traits::invalid()); }
  void reset(Native h = Traits::invalid()) {
    const Native old = std::exchange(h_, h);
    if (Traits::is_valid(old)) Traits::close(old);
  }

 private:
  Native h_;
};

// Files and directories: a HANDLE on Windows, a descriptor elsewhere, both
// carried as an integer so that no OS header is needed here.
struct FileHandleTraits {
  using Native = std::intptr_t;
  static Native invalid() { return -1; }
  static bool is_valid(Native h);
  static void close(Native h);
};

using FileHandle = ScopedHandle<FileHandleTraits>;

}  // namespace nuvo
