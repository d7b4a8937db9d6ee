// Runs the downgrade guard against this machine's registry and Windows
// Installer, for the end-to-end guard tests.
//
//   guard_probe <release-version>   prints "ok" or "refused <text>"
//   guard_probe --detect            prints each installed version, or "failed <text>"
//
// Exit code 0 for "ok" and a detection that succeeded, 1 otherwise.
#include <string>
#include <string_view>

#include "install/downgrade.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  using nuvo::StdStream;
  if (argc != 2) {
    nuvo::write_std(StdStream::Err, "usage: guard_probe <release-version> | --detect\n");
    return 2;
  }
  const auto registry = nuvo::system_product_registry();
  const std::string_view arg = argv[1];
  if (arg == "--detect") {
    const auto versions = nuvo::detect_installed_versions(*registry);
    if (!versions) {
      nuvo::write_std(StdStream::Out, "failed " + versions.error() + "\n");
      return 1;
    }
    std::string out;
    for (const auto& v : *versions) out += v.text() + "\n";
    nuvo::write_std(StdStream::Out, out);
    return 0;
  }
  const auto checked = nuvo::check_no_downgrade(arg, *registry);
  if (!checked) {
    nuvo::write_std(StdStream::Out, "refused " + checked.error() + "\n");
    return 1;
  }
  nuvo::write_std(StdStream::Out, "ok\n");
  return 0;
}
