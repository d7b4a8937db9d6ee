// The parts of the HTTP transport that every platform shares.
#include "http/transport.h"

namespace nuvo {
namespace {

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> RequestStop::reason() const {
  if (cancel != nullptr && cancel->load()) return std::string("cancelled");
  if (deadline && std::chrono::steady_clock::now() >= *deadline)
    return std::string("the deadline passed");
  return std::nullopt;
}

std::optional<std::string_view> HttpResponse::header(std::string_view name) const {
  for (const auto& h : headers)
    if (ascii_iequals(h.name, name)) return std::string_view(h.value);
  return std::nullopt;
}

}  // namespace nuvo
