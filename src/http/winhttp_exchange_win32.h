// One asynchronous WinHTTP request: what its status callback and the I/O
// thread share, and the wait for each call to complete or be given up.
#pragma once

// clang-format off
#include "platform/win32_support.h"
#include <winhttp.h>
// clang-format on

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/result.h"
#include "http/transfer.h"
#include "http/winhttp_error_win32.h"

namespace nuvo {

// One read of a fast body: a quarter of a second at the slowest rate read this
// way, as large as the transfer's ring.
inline constexpr DWORD kReadChunk = 256 * 1024;

// What WinHTTP's status callback and the I/O thread share for one request.
// WinHTTP keeps its own reference until the request handle is really gone
// (HANDLE_CLOSING), so a call that completes after we gave up on it still
// writes into live memory.
struct Exchange {
  std::mutex mu;
  std::condition_variable changed;
  bool done = false;  // the pending asynchronous call has completed
  DWORD error = ERROR_SUCCESS;
  DWORD bytes = 0;         // bytes available, or bytes read
  DWORD secure_flags = 0;  // why the server certificate was refused
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kReadChunk);
  Transfer* transfer = nullptr;  // told of socket reads while set
};
using ExchangeRef = std::shared_ptr<Exchange>;

// The request's status callback; its context is a new ExchangeRef, which the
// callback deletes when the handle closes.
void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD length);

// Ties the exchange to the transfer for one request: an abort wakes the I/O
// thread while it waits for WinHTTP, and socket reads count as progress.
class TransferScope {
 public:
  TransferScope(Transfer& transfer, Exchange& x);
  ~TransferScope();
  TransferScope(const TransferScope&) = delete;
  TransferScope& operator=(const TransferScope&) = delete;

 private:
  Transfer& transfer_;
  Exchange& x_;
};

// Starts an asynchronous WinHTTP call and waits until it completes or the
// caller gives up. The value is the byte count the call reported; with
// `error_code`, a failure of WinHTTP's own also leaves its code there.
template <class Start>
Result<DWORD, std::string> await_call(Transfer& transfer, Exchange& x, Start start,
                                      DWORD* error_code = nullptr) {
  {
    std::lock_guard lock(x.mu);
    x.done = false;
    x.error = ERROR_SUCCESS;
    x.bytes = 0;
  }
  if (!start()) {
    if (error_code != nullptr) *error_code = GetLastError();
    return Failure{last_winhttp_error()};
  }
  std::unique_lock lock(x.mu);
  x.changed.wait(lock, [&] { return x.done || transfer.aborted(); });
  if (transfer.aborted()) return Failure{std::string("abandoned")};  // already failed
  if (x.error != ERROR_SUCCESS) {
    if (error_code != nullptr) *error_code = x.error;
    return Failure{secure_failure_text(x.secure_flags) + winhttp_error(x.error)};
  }
  return x.bytes;
}

}  // namespace nuvo
