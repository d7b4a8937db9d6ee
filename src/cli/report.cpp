#include "cli/report.h"

#include <nlohmann/json.hpp>

namespace nuvo {

std::string format_report(const std::vector<ReportEntry>& entries) {
  // nlohmann's default object is a std::map: its keys come out in byte order.
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [key, value] : entries) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      object[key] = *text;
    } else {
      object[key] = std::get<bool>(value);
    }
  }
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace nuvo
