// A DLL that does nothing, planted beside NuvoSetup.exe under the names of
// system DLLs to show that none of them is ever loaded from there.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
