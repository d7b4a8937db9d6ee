// How a package run reports where it is.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nuvo {

enum class Stage { Resolving, Downloading, Verifying, Ready };

inline std::string_view stage_name(Stage s) {
  switch (s) {
    case Stage::Resolving:
      return "Resolving";
    case Stage::Downloading:
      return "Downloading";
    case Stage::Verifying:
      return "Verifying";
    case Stage::Ready:
      return "Ready";
  }
  return {};
}

struct DownloadProgress {
  Stage stage = Stage::Resolving;
  std::optional<std::string> version;  // absent before the manifest is known
  std::uint64_t downloaded = 0;
  std::optional<std::uint64_t> total;
};

// Must not block the run.
using ProgressSink = std::function<void(const DownloadProgress&)>;

}  // namespace nuvo
