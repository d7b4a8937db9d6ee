#include "cli/verify_mode.h"

#include <atomic>
#include <vector>

#include "cli/report.h"
#include "common/utf.h"
#include "platform/file.h"
#include "signature/signature.h"

namespace nuvo {
namespace {

Failure<std::string> failed(std::string_view message) { return Failure{std::string(message)}; }

// The whole signature file, which is known to be at most 8 KiB. A file that
// grew since its size was read is cut off at the limit and then fails to parse.
Result<std::string, std::string> read_signature_file(std::string_view path) {
  auto file = ReadOnlyFile::open(path);
  if (!file) return Failure{file.error().display()};
  std::string text;
  std::vector<std::uint8_t> buffer(kMaxSignatureTextSize + 1);
  std::size_t used = 0;
  while (used < buffer.size()) {
    auto got = file->read(std::span(buffer).subspan(used));
    if (!got) return Failure{got.error().display()};
    if (*got == 0) break;
    used += *got;
  }
  text.assign(reinterpret_cast<const char*>(buffer.data()), used);
  if (!is_valid_utf8(text)) return failed(kNotUtf8);
  return text;
}

}  // namespace

Result<std::string, std::string> run_verify_package(std::string_view package_path,
                                                    std::string_view signature_path,
                                                    std::string_view version,
                                                    std::string_view public_key) {
  const auto info = path_info(signature_path);
  if (!info) return Failure{info.error().display()};
  if (info->size < 1 || info->size > kMaxSignatureTextSize) return failed(kBadSignatureFileSize);

  auto text = read_signature_file(signature_path);
  if (!text) return text;

  auto prepared = prepare_signature(*text, public_key, version);
  if (!prepared) return failed(prepared.error().message());

  const std::atomic<bool> never_cancelled{false};
  auto verified = verify_file(*prepared, package_path, never_cancelled);
  if (!verified) return failed(verified.error().message());

  return format_report({{"installed", false},
                        {"installer_verified", true},
                        {"version", std::string(version)}});
}

}  // namespace nuvo
