// The downgrade guard: reads every installed copy's version through the
// product registry, strictly, and refuses a release older than the newest one.
#include "install/downgrade.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "common/ascii.h"
#include "common/utf.h"

namespace nuvo {
namespace {

constexpr std::array kProbes = {
    std::pair{RegistryHive::LocalMachine, RegistryView::Bits64},
    std::pair{RegistryHive::LocalMachine, RegistryView::Bits32},
    std::pair{RegistryHive::CurrentUser, RegistryView::Bits64},
    std::pair{RegistryHive::CurrentUser, RegistryView::Bits32},
};

Failure<std::string> detection_failed() { return Failure{std::string(kDetectionFailed)}; }

// The Unicode White_Space characters; all of them lie in the BMP.
bool is_white_space(char16_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// UTF-8 without the surrounding white space; empty for invalid UTF-16 (white
// space is never a surrogate, so trimming first hides nothing).
std::optional<std::string> trimmed_utf8(std::u16string_view text) {
  while (!text.empty() && is_white_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_white_space(text.back())) text.remove_suffix(1);
  return utf16_to_utf8(text);
}

bool is_product_name(std::string_view name) { return ascii_iequals(name, kProductName); }

std::optional<std::string> read_registry_string(UninstallKey& key, std::string_view name) {
  std::array<std::uint8_t, kRegistryValueBytes> data{};
  std::uint32_t bytes = kRegistryValueBytes;
  if (key.read_string(name, data, bytes) != kWinSuccess) return std::nullopt;
  if (bytes == 0 || bytes % 2 != 0 || bytes > kRegistryValueBytes) return std::nullopt;
  std::u16string text;
  for (std::size_t i = 0; i < bytes; i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) return trimmed_utf8(text);
    text += unit;
  }
  return std::nullopt;  // no terminator within the value
}

std::optional<std::string> read_product_property(ProductRegistry& registry,
                                                 std::u16string_view product_code,
                                                 std::string_view property) {
  std::array<char16_t, kProductPropertyUnits> value{};
  std::uint32_t units = kProductPropertyUnits - 1;
  if (registry.product_property(product_code, property, value, units) != kWinSuccess ||
      units >= kProductPropertyUnits)
    return std::nullopt;
  return trimmed_utf8(std::u16string_view(value.data(), units));
}

std::optional<SemanticVersion> parse_version(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return SemanticVersion::parse(*text);
}

std::string refusal(const SemanticVersion& installed, const SemanticVersion& release) {
  return "Уже установлена Nuvo " + installed.text() +
         ". В канале обновлений доступна более старая версия " + release.text() +
         "; установка остановлена. Используйте обновления внутри Nuvo или дождитесь нового "
         "релиза.";
}

}  // namespace

Result<std::vector<SemanticVersion>, std::string> detect_installed_versions(
    ProductRegistry& registry) {
  std::vector<SemanticVersion> versions;

  for (const auto& [hive, view] : kProbes) {
    std::optional<SemanticVersion> version;
    {
      std::unique_ptr<UninstallKey> key;
      const std::uint32_t status = registry.open_uninstall_key(hive, view, key);
      if (status == kWinFileNotFound || status == kWinPathNotFound) continue;
      if (status != kWinSuccess || !key) return detection_failed();
      const auto name = read_registry_string(*key, "DisplayName");
      if (!name || !is_product_name(*name)) return detection_failed();
      version = parse_version(read_registry_string(*key, "DisplayVersion"));
    }
    if (!version) return detection_failed();
    versions.push_back(std::move(*version));
  }

  for (std::uint32_t index = 0;; ++index) {
    std::array<char16_t, kProductCodeUnits> code{};
    const std::uint32_t status = registry.related_product(index, code);
    if (status == kWinNoMoreItems) break;
    if (status != kWinSuccess) return detection_failed();
    const auto end = std::find(code.begin(), code.end(), u'\0');
    if (end == code.end()) return detection_failed();
    const std::u16string_view product_code(code.data(),
                                           static_cast<std::size_t>(end - code.begin()));

    const auto name = read_product_property(registry, product_code, "ProductName");
    if (!name || !is_product_name(*name)) return detection_failed();
    auto version = parse_version(read_product_property(registry, product_code, "VersionString"));
    if (!version) return detection_failed();
    versions.push_back(std::move(*version));
    if (index + 1 > kMaxRelatedProducts) return detection_failed();  // a 128th was read
  }
  return versions;
}

Result<void, std::string> check_no_downgrade(std::string_view release_version,
                                             ProductRegistry& registry) {
  const auto release = SemanticVersion::parse(release_version);
  if (!release) return detection_failed();
  auto installed = detect_installed_versions(registry);
  if (!installed) return Failure{std::move(installed).error()};
  if (installed->empty()) return {};
  // The whole order of SemanticVersion, build metadata included: a copy whose
  // build metadata ranks above the release's is newer than the release.
  const auto& newest = *std::max_element(installed->begin(), installed->end());
  if (newest > *release) return Failure{refusal(newest, *release)};
  return {};
}

}  // namespace nuvo
