// The reference for download benchmarks under Wine: the plainest WinHTTP loop
// that fetches one https URL into a file through a 64 KiB buffer; with
// "flush", it flushes the file to the disk at the end, as the program does.
// Usage: winhttp_get.exe <host> <path> <output file> [flush]
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 && !(argc == 5 && lstrcmpW(argv[4], L"flush") == 0)) return 2;
  HINTERNET session = WinHttpOpen(L"bench/1", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = session ? WinHttpConnect(session, argv[1], 443, 0) : nullptr;
  HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", argv[2], nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                      WINHTTP_FLAG_SECURE)
                                 : nullptr;
  bool ok = request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
            WinHttpReceiveResponse(request, nullptr);
  HANDLE out = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  std::vector<char> buffer(65536);
  unsigned long long total = 0;
  while (ok && out != INVALID_HANDLE_VALUE) {
    DWORD got = 0;
    if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    DWORD written = 0;
    ok = WriteFile(out, buffer.data(), got, &written, nullptr) && written == got;
    total += got;
  }
  if (ok && out != INVALID_HANDLE_VALUE && argc == 5) ok = FlushFileBuffers(out) != 0;
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (request) WinHttpCloseHandle(request);
  if (connection) WinHttpCloseHandle(connection);
  if (session) WinHttpCloseHandle(session);
  std::printf("%llu\n", total);
  return ok ? 0 : 1;
}
