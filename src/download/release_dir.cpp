#include "download/release_dir.h"

#include "signature/crypto.h"

namespace nuvo {

std::string release_dir_name(std::string_view version, std::string_view url_text,
                             std::string_view signature_text) {
  std::string input;
  input.reserve(version.size() + url_text.size() + signature_text.size() + 3);
  for (const std::string_view part : {version, url_text, signature_text}) {
    input += part;
    input += '\0';
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (const std::uint8_t byte : crypto::sha256(input)) {
    name += kHex[byte >> 4];
    name += kHex[byte & 0xF];
  }
  return name;
}

SetupResult<ReleasePaths> release_paths(CacheFs& fs, std::string_view root, std::string_view version,
                                        std::string_view url_text,
                                        std::string_view signature_text) {
  const std::string dir_path = join_path(root, release_dir_name(version, url_text, signature_text));
  auto dir = fs.ensure_directory(dir_path);
  if (!dir) return Failure{std::move(dir).error()};
  return ReleasePaths{std::move(dir).value(), join_path(dir_path, kPartFileName),
                      join_path(dir_path, kInstallerFileName), join_path(dir_path, kStateFileName)};
}

}  // namespace nuvo
