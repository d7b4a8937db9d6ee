// Feeds arbitrary bytes to the manifest rules, as a hostile channel would.
#include <cstdint>
#include <string_view>

#include "manifest/channel.h"
#include "manifest/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)nuvo::decode_manifest(text);
  static const nuvo::ChannelSettings settings = nuvo::builtin_channel_settings();
  (void)nuvo::release_from_manifest(text, settings);
  return 0;
}
