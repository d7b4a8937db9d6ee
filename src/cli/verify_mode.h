// --verify-package: checks a local installer against a local signature file.
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"

namespace nuvo {

inline constexpr std::string_view kBadSignatureFileSize = "Неверный размер файла подписи.";
inline constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";

// On success returns the report line; on failure the message for standard error.
Result<std::string, std::string> run_verify_package(std::string_view package_path,
                                                    std::string_view signature_path,
                                                    std::string_view version,
                                                    std::string_view public_key);

}  // namespace nuvo
