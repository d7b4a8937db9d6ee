// A server's answer to an installer request, headers and all, as a hostile or
// broken server would send it: whatever classify_response decides to store
// must stay inside one file of at most kMaxPackageSize bytes and fit what is
// kept on disk.
//
// Input lines: status, requested offset, stored total ("" for none), stored
// validator ("" for none), then "Name: value" headers.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/limits.h"
#include "download/classify.h"

namespace {

std::string_view next_line(std::string_view& rest) {
  const std::size_t lf = rest.find('\n');
  const std::string_view line = rest.substr(0, lf);
  rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
  return line;
}

template <typename T>
std::optional<T> number(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A second reading of "bytes first-last/complete", each number with one optional "+".
struct Range {
  std::uint64_t first, last, complete;
};

std::optional<std::uint64_t> header_number(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  return number<std::uint64_t>(text);
}

std::optional<Range> reference_range(std::string_view v) {
  if (!v.starts_with("bytes ")) return std::nullopt;
  v.remove_prefix(6);
  const std::size_t dash = v.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::size_t slash = v.find('/', dash);
  if (slash == std::string_view::npos) return std::nullopt;
  const auto first = header_number(v.substr(0, dash));
  const auto last = header_number(v.substr(dash + 1, slash - dash - 1));
  const auto complete = header_number(v.substr(slash + 1));
  if (!first || !last || !complete) return std::nullopt;
  return Range{*first, *last, *complete};
}

void check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using Action = nuvo::ClassifiedResponse::Action;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  nuvo::HttpResponse response;
  response.status = number<int>(next_line(rest)).value_or(206);
  // Callers never ask beyond the size limit.
  const std::uint64_t offset = std::min<std::uint64_t>(
      number<std::uint64_t>(next_line(rest)).value_or(0), nuvo::kMaxPackageSize);
  const auto stored_total = number<std::uint64_t>(next_line(rest));
  std::optional<std::string> stored_validator;
  if (const auto v = next_line(rest); !v.empty()) stored_validator = std::string(v);
  while (!rest.empty()) {
    const std::string_view line = next_line(rest);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    if (value.starts_with(' ')) value.remove_prefix(1);
    response.headers.push_back({std::string(line.substr(0, colon)), std::string(value)});
  }

  const auto c = nuvo::classify_response(response, offset, stored_validator, stored_total);
  const auto own_validator = nuvo::response_validator(response);
  switch (c.action) {
    case Action::Store:
      check(response.status == 200 || response.status == 206);
      check(c.offset == (response.status == 200 ? 0 : offset));
      if (c.total) check(*c.total >= 1 && *c.total <= nuvo::kMaxPackageSize);
      if (c.body_length) {
        check(*c.body_length >= 1 && *c.body_length <= nuvo::kMaxPackageSize);
        if (c.total) check(c.offset + *c.body_length <= *c.total);
      }
      if (response.status == 206) {
        const auto range = reference_range(response.header("Content-Range").value_or(""));
        check(range && range->first == offset && c.total == range->complete &&
              c.body_length == range->last - offset + 1);
        // Bytes are appended only to the same file: same size, same validator.
        if (offset > 0) {
          check(!stored_total || stored_total == c.total);
          check(!own_validator || own_validator == stored_validator);
          check(c.validator == (own_validator ? own_validator : stored_validator));
        }
      } else {
        const auto length = response.header("Content-Length");
        check(c.validator == own_validator && c.total == c.body_length &&
              c.body_length == (length ? header_number(*length) : std::nullopt));
      }
      break;
    case Action::Complete:
      check(response.status == 416 && offset > 0 && stored_total == offset && stored_validator);
      break;
    case Action::DiscardRetry:
      check(response.status == 206 || response.status == 416);
      break;
    case Action::Fail:
      check(c.failure == nuvo::SetupErrorKind::DownloadFailed ||
            c.failure == nuvo::SetupErrorKind::InvalidPackageSize);
      break;
  }
  return 0;
}
