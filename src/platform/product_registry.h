// What the machine registers about installed copies of Nuvo: the uninstall
// entry of each registry hive and view, and the Windows Installer products
// that share the product's upgrade code. A thin layer over the OS calls: the
// statuses are Windows error numbers and the buffers are the callers', so
// that every rule about them stays in the portable guard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace nuvo {

inline constexpr std::uint32_t kWinSuccess = 0;
inline constexpr std::uint32_t kWinFileNotFound = 2;
inline constexpr std::uint32_t kWinPathNotFound = 3;
inline constexpr std::uint32_t kWinMoreData = 234;
inline constexpr std::uint32_t kWinNoMoreItems = 259;
inline constexpr std::uint32_t kWinUnsupportedType = 1630;

// Where the product registers itself: its uninstall key (in each hive and
// view) and the upgrade code its Windows Installer packages share.
inline constexpr std::string_view kUninstallKeyPath =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nuvo";
inline constexpr std::u16string_view kUpgradeCode = u"{7A3C9E21-4D6B-5F08-9C1E-2B7D40A6E5F3}";

inline constexpr std::size_t kRegistryValueBytes = 2048;
inline constexpr std::size_t kProductCodeUnits = 39;
inline constexpr std::size_t kProductPropertyUnits = 256;

enum class RegistryHive { LocalMachine, CurrentUser };
enum class RegistryView { Bits64, Bits32 };

// An open uninstall key; closed when dropped.
class UninstallKey {
 public:
  virtual ~UninstallKey() = default;
  // A plain string value (REG_SZ only: an expandable or any other type is
  // kWinUnsupportedType) into `data`; `bytes` is the buffer size on input
  // and the size of the value, terminator included, on output.
  virtual std::uint32_t read_string(std::string_view name,
                                    std::span<std::uint8_t, kRegistryValueBytes> data,
                                    std::uint32_t& bytes) = 0;
};

class ProductRegistry {
 public:
  virtual ~ProductRegistry() = default;
  // Opens the uninstall key of the product for reading in one hive and view.
  virtual std::uint32_t open_uninstall_key(RegistryHive hive, RegistryView view,
                                           std::unique_ptr<UninstallKey>& key) = 0;
  // The product code of the related product number `index`, NUL-terminated.
  virtual std::uint32_t related_product(std::uint32_t index,
                                        std::span<char16_t, kProductCodeUnits> code) = 0;
  // A property of an installed product; `units` is the count offered on
  // input (without the terminator) and the length of the value on output.
  virtual std::uint32_t product_property(std::u16string_view product_code,
                                         std::string_view property,
                                         std::span<char16_t, kProductPropertyUnits> value,
                                         std::uint32_t& units) = 0;
};

// The registry and Windows Installer of this machine; on a system without
// them, one that reports no installed copy.
std::unique_ptr<ProductRegistry> system_product_registry();

}  // namespace nuvo
