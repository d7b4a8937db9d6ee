#include "platform/win32_support.h"

#include "common/utf.h"

namespace nuvo::win32 {

std::optional<std::wstring> widen(std::string_view utf8) {
  auto u16 = utf8_to_utf16(utf8);
  if (!u16) return std::nullopt;
  return std::wstring(u16->begin(), u16->end());
}

std::string narrow(std::wstring_view wide) {
  const std::u16string_view u16(reinterpret_cast<const char16_t*>(wide.data()), wide.size());
  return utf16_to_utf8(u16).value_or(std::string());
}

std::string system_message(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (n != 0 && buffer != nullptr) text.assign(buffer, n);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  return narrow(text);
}

}  // namespace nuvo::win32
