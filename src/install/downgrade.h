// The downgrade guard: never let an older release replace a newer installed
// copy, and never guess when what is installed cannot be read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "manifest/semver.h"
#include "platform/product_registry.h"

namespace nuvo {

inline constexpr std::string_view kProductName = "Nuvo";
inline constexpr std::uint32_t kMaxRelatedProducts = 127;

inline constexpr std::string_view kDetectionFailed =
    "Не удалось определить установленную версию Nuvo. Установка остановлена, чтобы не "
    "заменить новую версию более старой. Проверьте Nuvo в списке установленных приложений "
    "Windows.";

// Every installed version: the registry entries in probe order, then the
// Windows Installer products in enumeration order; or kDetectionFailed.
Result<std::vector<SemanticVersion>, std::string> detect_installed_versions(
    ProductRegistry& registry);

// Success unless a newer copy is installed (the refusal text) or detection
// fails (kDetectionFailed).
Result<void, std::string> check_no_downgrade(std::string_view release_version,
                                             ProductRegistry& registry);

}  // namespace nuvo
