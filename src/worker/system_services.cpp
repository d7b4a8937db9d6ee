// The machine a real run works on: the built-in channel, the per-user cache,
// this system's registry and installer launch, the steady clock.
#include "download/cache_path.h"
#include "install/downgrade.h"
#include "install/launch.h"
#include "platform/installer_launcher.h"
#include "platform/product_registry.h"
#include "worker/worker.h"

namespace nuvo {

WorkerServices system_worker_services(std::optional<std::string> cache_root, std::uintptr_t owner) {
  WorkerServices services;
  services.make_client = [cache_root]() -> Result<ChannelClient, std::string> {
    // A folder named by the caller is walked whole; the default one below Local AppData.
    std::optional<CacheRoot> root = default_cache_root();
    if (cache_root) root = CacheRoot{*cache_root, {}};
    if (!root) return Failure{std::string(kNoCacheRoot)};
    auto client = make_channel_client(builtin_channel_settings(), std::move(root->path),
                                      std::move(root->trusted));
    if (!client) return Failure{std::string(client.error().message())};
    return std::move(client).value();
  };
  services.check_no_downgrade = [](std::string_view version) {
    return check_no_downgrade(version, *system_product_registry());
  };
  services.launch = [owner](const VerifiedPackage& package) {
    return launch_and_wait(package.installer.handle(), *system_installer_launcher(), owner);
  };
  services.now = [] { return WorkerServices::Clock::now(); };
  return services;
}

void run_installation(WorkerContext context) {
  run_installation(std::move(context), system_worker_services());
}

}  // namespace nuvo
