// WinHTTP's completions, handed from its status callback to the I/O thread
// that waits for them.
#include "http/winhttp_exchange_win32.h"

namespace nuvo {

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD length) {
  if (context == 0) return;
  auto* ref = reinterpret_cast<ExchangeRef*>(context);
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    delete ref;
    return;
  }
  Exchange& x = **ref;
  std::lock_guard lock(x.mu);
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
      if (x.transfer != nullptr) x.transfer->note_progress();
      return;
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
      if (info != nullptr && length >= sizeof(DWORD)) x.secure_flags = *static_cast<DWORD*>(info);
      return;  // REQUEST_ERROR follows
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      x.bytes = *static_cast<DWORD*>(info);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      x.bytes = length;
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      x.error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
      if (x.error == ERROR_SUCCESS) x.error = ERROR_WINHTTP_INTERNAL_ERROR;
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      break;
    default:
      return;
  }
  x.done = true;
  x.changed.notify_all();
}

TransferScope::TransferScope(Transfer& transfer, Exchange& x) : transfer_(transfer), x_(x) {
  {
    std::lock_guard lock(x_.mu);
    x_.transfer = &transfer_;
  }
  transfer_.set_canceller([&x] {
    std::lock_guard lock(x.mu);
    x.changed.notify_all();
  });
}

TransferScope::~TransferScope() {
  transfer_.set_canceller({});
  std::lock_guard lock(x_.mu);
  x_.transfer = nullptr;
}

}  // namespace nuvo
