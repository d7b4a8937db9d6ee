// How one installation ends when it does not end with a failure text.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace nuvo {

enum class InstallOutcome : std::uint8_t {
  Completed = 0,  // the installer ran and exited with code 0
  Cancelled = 1,  // the user cancelled, declined elevation, or the installer exited with 1
};

// An outcome, or a finished Russian sentence saying what went wrong.
using InstallResult = std::variant<InstallOutcome, std::string>;

}  // namespace nuvo
