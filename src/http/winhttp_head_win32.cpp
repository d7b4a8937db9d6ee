// Reads the status and the raw header lines of a WinHTTP response and splits
// them into names and values.
#include "http/winhttp_head_win32.h"

#include <charconv>
#include <utility>
#include <vector>

#include "http/transfer.h"
#include "http/winhttp_error_win32.h"

namespace nuvo {
namespace {

// The raw head as WinHTTP gives it: the status line, then "Name: value" lines.
std::vector<HttpHeader> parse_raw_headers(std::string_view raw) {
  std::vector<HttpHeader> headers;
  bool status_line = true;
  while (!raw.empty()) {
    const auto eol = raw.find("\r\n");
    const auto line = raw.substr(0, eol);
    raw = eol == std::string_view::npos ? std::string_view() : raw.substr(eol + 2);
    if (std::exchange(status_line, false) || line.empty()) continue;
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    auto value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    headers.push_back({std::string(line.substr(0, colon)), std::string(value)});
  }
  return headers;
}

}  // namespace

Result<HttpResponse, std::string> query_head(HINTERNET req) {
  HttpResponse head;
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    return Failure{last_winhttp_error()};
  head.status = static_cast<int>(status);
  size = 0;
  WinHttpQueryHeaders(req, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, nullptr,
                      &size, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return Failure{last_winhttp_error()};
  if (size > kMaxHeadBytes * sizeof(wchar_t))
    return Failure{std::string("the response head is too large")};
  std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(req, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                           raw.data(), &size, WINHTTP_NO_HEADER_INDEX))
    return Failure{last_winhttp_error()};
  raw.resize(size / sizeof(wchar_t));
  head.headers = parse_raw_headers(win32::narrow(raw));
  if (head.headers.size() > kMaxHeaderCount)
    return Failure{std::string("the response head is too large")};
  return head;
}

std::optional<std::uint64_t> announced_length(const HttpResponse& response) {
  if (response.status < 200 || response.status == 204 || response.status == 304)
    return std::nullopt;
  if (response.header("Transfer-Encoding")) return std::nullopt;
  const auto value = response.header("Content-Length");
  if (!value) return std::nullopt;
  std::uint64_t n = 0;
  const auto [end, ec] = std::from_chars(value->data(), value->data() + value->size(), n);
  if (ec != std::errc() || end != value->data() + value->size()) return std::nullopt;
  return n;
}

}  // namespace nuvo
