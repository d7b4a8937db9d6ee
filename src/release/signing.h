// The publisher's half of the signature: the secret key, and signing an
// installer the way NuvoSetup will check it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/file.h"
#include "release/arguments.h"
#include "signature/crypto.h"
#include "signature/secret_key.h"

namespace nuvo::release {

// Reads the key file and opens it, asking for the password only when the
// key is encrypted.
Result<SecretKey, std::string> load_secret_key(const KeyOptions& options);

// Whether `key` is the key whose public half is built into NuvoSetup.
bool matches_builtin_key(const SecretKey& key);
std::string builtin_key_mismatch_message(const SecretKey& key);

// "timestamp:<unix seconds>\tfile:<file name>\tversion:<version>".
std::string trusted_comment(std::uint64_t unix_seconds, std::string_view file_name,
                            std::string_view version);

std::uint64_t unix_now();

// The installer rules NuvoSetup applies to a version text and an installer
// size, with the publisher's explanation in front of its message.
Result<void, std::string> check_version_argument(std::string_view version);
Result<void, std::string> check_installer_size(std::uint64_t size);

// nuvo-release sign: writes <installer>.minisig; returns what to print.
Result<std::string, std::string> run_sign(const command::Sign& args);

}  // namespace nuvo::release
