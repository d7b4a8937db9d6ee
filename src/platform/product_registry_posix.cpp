// Outside Windows nothing registers Nuvo: no uninstall key, no related product.
#include "platform/product_registry.h"

namespace nuvo {
namespace {

class NoProductRegistry final : public ProductRegistry {
 public:
  std::uint32_t open_uninstall_key(RegistryHive, RegistryView,
                                   std::unique_ptr<UninstallKey>& key) override {
    key.reset();
    return kWinFileNotFound;
  }
  std::uint32_t related_product(std::uint32_t, std::span<char16_t, kProductCodeUnits>) override {
    return kWinNoMoreItems;
  }
  std::uint32_t product_property(std::u16string_view, std::string_view,
                                 std::span<char16_t, kProductPropertyUnits>,
                                 std::uint32_t&) override {
    return kWinFileNotFound;
  }
};

}  // namespace

std::unique_ptr<ProductRegistry> system_product_registry() {
  return std::make_unique<NoProductRegistry>();
}

}  // namespace nuvo
