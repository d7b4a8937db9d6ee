// Helpers shared by the Windows implementations of the platform layer.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace nuvo::win32 {

inline HANDLE to_handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
inline std::intptr_t from_handle(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

// UTF-8 to a NUL-terminated wide string; empty optional for invalid UTF-8.
std::optional<std::wstring> widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);

// The system's description of a Windows error code, trailing line break removed.
std::string system_message(DWORD code);

// Narrows the DLL search of the whole process to the system directory; the
// first thing each program does (dll_search_win32.cpp).
void restrict_dll_search();

}  // namespace nuvo::win32
