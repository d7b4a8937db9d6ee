// COM on Windows: the one owner of an interface pointer (WRL's ComPtr), and
// the scope that pairs CoInitializeEx with the CoUninitialize it owes.
#pragma once

// clang-format off
#include "platform/win32_support.h"
#include <objbase.h>
#include <wrl/client.h>
// clang-format on

#include <optional>
#include <utility>

namespace nuvo {

// Releases its interface when dropped or replaced; a call that hands out an
// interface fills in ReleaseAndGetAddressOf().
template <class Interface>
using ComPtr = Microsoft::WRL::ComPtr<Interface>;

// The calling thread's COM apartment. Belongs to one thread: the destructor
// (or leave()) runs where enter() did, after every interface used in it is
// released.
class ComApartment {
 public:
  ComApartment() = default;
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() { leave(); }

  // CoInitializeEx's HRESULT. Once it has succeeded (S_FALSE too: the thread
  // was in COM already, and the count still went up) or found the thread in
  // the other kind of apartment, later calls return that without calling it
  // again; other failures are tried again.
  HRESULT enter(DWORD flags) {
    if (settled_) return *settled_;
    const HRESULT result = CoInitializeEx(nullptr, flags);
    if (SUCCEEDED(result) || result == RPC_E_CHANGED_MODE) settled_ = result;
    return result;
  }

  // Entered, here or before in another apartment kind: interfaces can be made.
  bool usable() const { return settled_.has_value(); }

  // The CoUninitialize a successful enter() owes; enter() calls CoInitializeEx again after it.
  void leave() {
    const std::optional<HRESULT> was = std::exchange(settled_, std::nullopt);
    if (was && SUCCEEDED(*was)) CoUninitialize();
  }

 private:
  std::optional<HRESULT> settled_;  // set by success or RPC_E_CHANGED_MODE
};

}  // namespace nuvo
