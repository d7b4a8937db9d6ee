// Semantic versions (MAJOR.MINOR.PATCH[-pre][+build]): parsing, order, text.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvo {

struct SemanticVersion {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t patch = 0;
  std::vector<std::string> pre_release;
  std::vector<std::string> build;

  static std::optional<SemanticVersion> parse(std::string_view text);
  std::string text() const;  // the canonical form

  // Precedence, then build metadata, so that only equal versions compare equal.
  std::strong_ordering operator<=>(const SemanticVersion& other) const;
  bool operator==(const SemanticVersion& other) const = default;
};

}  // namespace nuvo
