// The parts of the HTTP transport that every platform shares.
#include "common/ascii.h"
#include "http/transport.h"

namespace nuvo {

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
