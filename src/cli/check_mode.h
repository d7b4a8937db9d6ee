// --check-only: asks the channel for its newest release and reports it.
#pragma once

#include <string>

#include "common/result.h"
#include "download/cache_path.h"

namespace nuvo {

// On success the report line; on failure the message for standard error.
Result<std::string, std::string> run_check_only();

}  // namespace nuvo
