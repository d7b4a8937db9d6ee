#include "manifest/semver.h"

#include <algorithm>
#include <tuple>

namespace nuvo {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_identifier_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}
bool is_numeric(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), is_digit); }

// A decimal number without leading zeros that fits in 64 bits.
std::optional<std::uint64_t> parse_number(std::string_view s) {
  if (!is_numeric(s) || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : s) {
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = s.find(sep);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

std::optional<std::vector<std::string>> parse_identifiers(std::string_view s, bool pre_release) {
  std::vector<std::string> out;
  for (const auto id : split(s, '.')) {
    if (id.empty() || !std::all_of(id.begin(), id.end(), is_identifier_char)) return std::nullopt;
    if (pre_release && is_numeric(id) && id.size() > 1 && id[0] == '0') return std::nullopt;
    out.emplace_back(id);
  }
  return out;
}

// Numeric identifiers by value (a longer digit run is larger, as there are no
// leading zeros in pre-releases; in build metadata equal values fall back to
// length) and below alphanumeric ones; alphanumeric ones in ASCII order.
std::strong_ordering compare_identifier(const std::string& a, const std::string& b) {
  const bool na = is_numeric(a);
  const bool nb = is_numeric(b);
  if (na && nb) {
    const auto trim = [](const std::string& s) {
      const std::size_t nz = s.find_first_not_of('0');
      return std::string_view(s).substr(nz == std::string::npos ? s.size() : nz);
    };
    const auto ta = trim(a);
    const auto tb = trim(b);
    if (ta.size() != tb.size()) return ta.size() <=> tb.size();
    if (const auto c = ta.compare(tb); c != 0) return c <=> 0;
    return a.size() <=> b.size();
  }
  if (na != nb) return na ? std::strong_ordering::less : std::strong_ordering::greater;
  return a.compare(b) <=> 0;
}

std::strong_ordering compare_lists(const std::vector<std::string>& a,
                                   const std::vector<std::string>& b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (const auto c = compare_identifier(a[i], b[i]); c != 0) return c;
  }
  return a.size() <=> b.size();
}

std::string join(const std::vector<std::string>& ids) {
  std::string out;
  for (const auto& id : ids) {
    if (!out.empty()) out += '.';
    out += id;
  }
  return out;
}

}  // namespace

std::optional<SemanticVersion> SemanticVersion::parse(std::string_view text) {
  SemanticVersion v;
  if (const std::size_t plus = text.find('+'); plus != std::string_view::npos) {
    auto build = parse_identifiers(text.substr(plus + 1), false);
    if (!build) return std::nullopt;
    v.build = std::move(*build);
    text = text.substr(0, plus);
  }
  if (const std::size_t dash = text.find('-'); dash != std::string_view::npos) {
    auto pre = parse_identifiers(text.substr(dash + 1), true);
    if (!pre) return std::nullopt;
    v.pre_release = std::move(*pre);
    text = text.substr(0, dash);
  }
  const auto core = split(text, '.');
  if (core.size() != 3) return std::nullopt;
  const auto major = parse_number(core[0]);
  const auto minor = parse_number(core[1]);
  const auto patch = parse_number(core[2]);
  if (!major || !minor || !patch) return std::nullopt;
  v.major = *major;
  v.minor = *minor;
  v.patch = *patch;
  return v;
}

std::string SemanticVersion::text() const {
  std::string out = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
  if (!pre_release.empty()) out += "-" + join(pre_release);
  if (!build.empty()) out += "+" + join(build);
  return out;
}

std::strong_ordering SemanticVersion::operator<=>(const SemanticVersion& o) const {
  if (const auto c = std::tie(major, minor, patch) <=> std::tie(o.major, o.minor, o.patch); c != 0)
    return c;
  // A release ranks above all of its pre-releases.
  if (pre_release.empty() != o.pre_release.empty())
    return pre_release.empty() ? std::strong_ordering::greater : std::strong_ordering::less;
  if (const auto c = compare_lists(pre_release, o.pre_release); c != 0) return c;
  // Build metadata last: none ranks lowest.
  if (build.empty() != o.build.empty())
    return build.empty() ? std::strong_ordering::less : std::strong_ordering::greater;
  return compare_lists(build, o.build);
}

}  // namespace nuvo
