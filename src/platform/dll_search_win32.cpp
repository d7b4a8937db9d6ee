// Where this process may load DLLs from: the system directory only.
//
// The program is started from the user's Downloads folder, where any web page
// can leave a file named like a system DLL. The loader looks in the
// program's own folder (and the working directory) first for every DLL that
// is not one of the system's KnownDLLs, so the executable imports only
// KnownDLLs at start-up, and everything else (the common controls, uxtheme,
// WinHTTP, Windows Installer, shell and COM) is delay-loaded: after
// restrict_dll_search() has run, and through the hook below, from the system
// directory by name. A function a KnownDLL only forwards to another DLL
// counts as that DLL's: the loader binds the forwarder with the start-up
// imports, by the same search. So advapi32 is delay-loaded too, for
// libsodium's random source, SystemFunction036, which Windows forwards to
// cryptbase.dll; resolved at its first call, the forwarder is loaded from the
// system directory like the DLL that names it.
// clang-format off
#include "platform/win32_support.h"
#include <delayimp.h>  // needs the Windows types first
// clang-format on

#include <cwchar>
#include <initializer_list>

namespace nuvo::win32 {

void restrict_dll_search() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

}  // namespace nuvo::win32

namespace {

HMODULE load_from_system_directory(const wchar_t* name) {
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// What a system DLL we delay-load later loads by bare name on its own (its own
// delay imports). Not every loader honours the process's default directories
// for those: Wine's looks in the legacy order, the program's folder first.
// Loaded here from the system directory along with the DLL that needs them,
// they are already in the process when it asks by name.
struct Companions {
  const wchar_t* dll;
  std::initializer_list<const wchar_t*> loads;
};
constexpr Companions kCompanions[] = {
    {L"uxtheme.dll", {L"msimg32.dll"}},
    {L"winhttp.dll", {L"bcrypt.dll", L"crypt32.dll", L"secur32.dll"}},
};

// The delay-load helper would call LoadLibraryA with the bare name. This loads
// the same name from the system directory alone (the manifest's side-by-side
// redirection of the common controls still applies). Should that fail, the
// helper's own LoadLibraryA follows the process's default directories, which
// restrict_dll_search() has narrowed to the same folder.
FARPROC WINAPI delay_load_hook(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) {
    return nullptr;
  }
  wchar_t name[MAX_PATH];
  std::size_t n = 0;
  for (const char* c = info->szDll; *c != '\0'; ++c) {
    // Import names are short ASCII file names; anything else is left to the helper.
    if (n + 1 == MAX_PATH || static_cast<unsigned char>(*c) >= 0x80 || *c == '\\' || *c == '/') {
      return nullptr;
    }
    name[n++] = static_cast<wchar_t>(*c);
  }
  name[n] = L'\0';
  const HMODULE module = load_from_system_directory(name);
  if (module != nullptr) {
    for (const Companions& c : kCompanions) {
      if (_wcsicmp(c.dll, name) != 0) continue;
      for (const wchar_t* companion : c.loads) load_from_system_directory(companion);
    }
  }
  return reinterpret_cast<FARPROC>(module);
}

}  // namespace

// Read by the delay-load helper before it loads each DLL. Defined in this file,
// which both programs link through restrict_dll_search(), so that the
// run-time's empty default is never linked instead.
PfnDliHook __pfnDliNotifyHook2 = delay_load_hook;
