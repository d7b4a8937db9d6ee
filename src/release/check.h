// NuvoSetup's own rules applied to a release, one line per rule: to a folder
// as publish writes it, or to the live channel.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "manifest/channel.h"

namespace nuvo::release {

inline constexpr std::string_view kManifestFileName = "latest.json";

// Receives each line of the report, without its line break.
using LineSink = std::function<void(std::string_view)>;

// The files of one release in a folder: latest.json, the installer it names
// and that installer's .minisig. Every rule in order until the first that
// fails; true when NuvoSetup would accept the release.
bool check_release_files(std::string_view dir, const ChannelSettings& settings,
                         const LineSink& out);

// The built-in channel through NuvoSetup's HTTP client, and the download and
// verification of its installer into a temporary cache.
bool check_channel_online(const LineSink& out);

}  // namespace nuvo::release
