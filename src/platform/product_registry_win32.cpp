// The uninstall entries in the registry and the related Windows Installer
// products, passed through with their Windows error numbers.
#include <string>
#include <utility>

#include "platform/product_registry.h"
#include "platform/scoped_handle.h"
#include "platform/win32_support.h"
// msi.h needs the types of windows.h.
#include <msi.h>

namespace nuvo {
namespace {

struct RegistryKeyTraits {
  using Native = HKEY;
  static Native invalid() { return nullptr; }
  static bool is_valid(Native h) { return h != nullptr; }
  static void close(Native h) {
    const DWORD error = GetLastError();
    RegCloseKey(h);
    SetLastError(error);
  }
};

using RegistryKey = ScopedHandle<RegistryKeyTraits>;

class Win32UninstallKey final : public UninstallKey {
 public:
  explicit Win32UninstallKey(RegistryKey key) : key_(std::move(key)) {}

  std::uint32_t read_string(std::string_view name,
                            std::span<std::uint8_t, kRegistryValueBytes> data,
                            std::uint32_t& bytes) override {
    const auto wide = win32::widen(name);
    if (!wide) return ERROR_INVALID_PARAMETER;
    // Without RRF_NOEXPAND, RRF_RT_REG_SZ accepts an expandable string too and
    // hands it back expanded; the type is checked as well, to be sure.
    DWORD type = REG_NONE;
    DWORD size = bytes;
    const LSTATUS status = RegGetValueW(key_.get(), nullptr, wide->c_str(),
                                        RRF_RT_REG_SZ | RRF_NOEXPAND, &type, data.data(), &size);
    bytes = size;
    if (status != ERROR_SUCCESS) return static_cast<std::uint32_t>(status);
    if (type != REG_SZ) return kWinUnsupportedType;
    return kWinSuccess;
  }

 private:
  RegistryKey key_;
};

class Win32ProductRegistry final : public ProductRegistry {
 public:
  Win32ProductRegistry()
      : key_path_(*win32::widen(kUninstallKeyPath)),
        upgrade_code_(kUpgradeCode.begin(), kUpgradeCode.end()) {}

  std::uint32_t open_uninstall_key(RegistryHive hive, RegistryView view,
                                   std::unique_ptr<UninstallKey>& key) override {
    key.reset();
    const HKEY root = hive == RegistryHive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const REGSAM access =
        KEY_READ | (view == RegistryView::Bits64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExW(root, key_path_.c_str(), 0, access, &opened);
    if (status != ERROR_SUCCESS) return static_cast<std::uint32_t>(status);
    key = std::make_unique<Win32UninstallKey>(RegistryKey(opened));
    return kWinSuccess;
  }

  std::uint32_t related_product(std::uint32_t index,
                                std::span<char16_t, kProductCodeUnits> code) override {
    return MsiEnumRelatedProductsW(upgrade_code_.c_str(), 0, index,
                                   reinterpret_cast<wchar_t*>(code.data()));
  }

  std::uint32_t product_property(std::u16string_view product_code, std::string_view property,
                                 std::span<char16_t, kProductPropertyUnits> value,
                                 std::uint32_t& units) override {
    const std::wstring code(product_code.begin(), product_code.end());
    const auto name = win32::widen(property);
    if (!name) return ERROR_INVALID_PARAMETER;
    DWORD count = units;
    const UINT status = MsiGetProductInfoW(code.c_str(), name->c_str(),
                                           reinterpret_cast<wchar_t*>(value.data()), &count);
    units = count;
    return status;
  }

 private:
  std::wstring key_path_;
  std::wstring upgrade_code_;
};

}  // namespace

std::unique_ptr<ProductRegistry> system_product_registry() {
  return std::make_unique<Win32ProductRegistry>();
}

}  // namespace nuvo
