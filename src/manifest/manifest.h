// latest.json: the release channel's description of its newest release.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace nuvo {

inline constexpr std::size_t kMaxManifestSize = 65536;

struct Platform {
  std::string url;
  std::string signature;
};

struct Manifest {
  std::string version;
  std::map<std::string, Platform> platforms;  // a key given twice keeps its last value
};

// Strict decoding: one JSON object of UTF-8 without a byte-order mark, only
// blanks around it; "version", "platforms", "url" and "signature" present
// with their types; no member name twice in the manifest or a platform; other
// members ignored whatever they hold. Empty on any violation.
std::optional<Manifest> decode_manifest(std::string_view json);

// The manifest of one release for the one platform the channel knows, as the
// publisher writes it: pretty-printed, ending in a line break.
std::string encode_manifest(std::string_view version, std::string_view platform_key,
                            const Platform& platform);

}  // namespace nuvo
