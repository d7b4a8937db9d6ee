// nuvo-release publish: the three files of a release, written only when
// NuvoSetup's rules accept them.
#pragma once

#include <string>

#include "common/result.h"
#include "release/arguments.h"
#include "release/check.h"

namespace nuvo::release {

// Writes the release into args.out_dir, or nothing; the rule lines go to
// `out`, the error text is returned.
Result<void, std::string> run_publish(const command::Publish& args, const LineSink& out);

}  // namespace nuvo::release
