// WinHTTP's error texts, from winhttp.dll's message table or, where that is
// missing, from a table of our own.
// clang-format off
#include "http/winhttp_error_win32.h"
#include <winhttp.h>
// clang-format on

#include <utility>

namespace nuvo {
namespace {

std::string trimmed(std::wstring text) {
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                           text.back() == L'.'))
    text.pop_back();
  return win32::narrow(text);
}

}  // namespace

// WinHTTP's own description of its error codes lives in winhttp.dll.
std::string winhttp_error(DWORD code) {
  std::string text;
  if (const HMODULE module = GetModuleHandleW(L"winhttp.dll"); module != nullptr) {
    wchar_t* buffer = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n != 0 && buffer != nullptr) text = trimmed(std::wstring(buffer, n));
    if (buffer != nullptr) LocalFree(buffer);
  }
  if (text.empty()) text = win32::system_message(code);
  if (text.empty()) {
    // Wine's winhttp.dll carries no message table.
    constexpr std::pair<DWORD, const char*> kTexts[] = {
        {ERROR_WINHTTP_TIMEOUT, "The operation timed out"},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, "The server name could not be resolved"},
        {ERROR_WINHTTP_CANNOT_CONNECT, "Cannot connect to the server"},
        {ERROR_WINHTTP_CONNECTION_ERROR, "The connection was reset or closed"},
        {ERROR_WINHTTP_SECURE_FAILURE, "The server certificate is not valid"},
        {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, "The secure connection could not be set up"},
        {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "The server response is not valid"},
        {WSAETIMEDOUT, "The operation timed out"},  // Wine passes socket errors on
        {WSAECONNRESET, "The connection was reset"},
    };
    text = "The request failed";
    for (const auto& [known, known_text] : kTexts)
      if (known == code) text = known_text;
  }
  return text + " (WinHTTP error " + std::to_string(code) + ")";
}

std::string last_winhttp_error() { return winhttp_error(GetLastError()); }

std::string secure_failure_text(DWORD flags) {
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) return "untrusted certificate authority: ";
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) return "certificate name mismatch: ";
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) return "certificate expired: ";
  if (flags != 0) return "certificate refused: ";
  return {};
}

}  // namespace nuvo
